#ifndef SIMULATEDFTDI_H
#define SIMULATEDFTDI_H

#include "d2xx.h"
#include "simulatedconverter.h"

#include <QList>
#include <QMap>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class VirtualClock;

// The USB side that the D2XX calls of the d2xx_sim library reach while an object of this
// class exists (one at a time; a D2XX call without one aborts the test). A test sets up:
//
//     VirtualClock clock;                        // sleeps now advance virtual time
//     SimulatedFtdi ftdi(clock);
//     SimulatedConverter &adapter = ftdi.addConverter({0x0403, 0x6001, "DE01", "Radio adapter"});
//     adapter.bootloader().script().wakeUpReplies = {"REA", "DY"};
//     ftdi.injectFailure(SimulatedFtdi::Write, 3, FT_IO_ERROR);
//
// then runs the code under test, and afterwards inspects adapter.bootloader() (descriptor,
// blocks, image, verdict), adapter.lineSettings(), bitModeCalls() and callCount().
class SimulatedFtdi
{
public:
    enum Operation
    {
        ListDevices,
        CreateDeviceInfoList,
        GetDeviceInfoList,
        GetDeviceInfoDetail,
        Open,
        Close,
        SetTimeouts,
        SetBaudRate,
        SetLatencyTimer,
        SetDataCharacteristics,
        SetBitMode,
        Write,
        Read,
        GetQueueStatus,
        GetStatus,
        GetListedDevice,
        GetIdentity,
        OpenIdentity,
        SetChars,
        WaitForData,
    };
    static constexpr int OperationCount = WaitForData + 1;
    static constexpr int EveryLaterCall = -1;

    struct BitModeCall
    {
        qint64 time;   // virtual microseconds
        int converter; // index, or -1 for a handle that is not open
        uint8_t mask;
        uint8_t mode;
        FT_STATUS status;
    };

    explicit SimulatedFtdi(VirtualClock &clock);
    ~SimulatedFtdi();
    SimulatedFtdi(const SimulatedFtdi &) = delete;
    SimulatedFtdi &operator=(const SimulatedFtdi &) = delete;

    static SimulatedFtdi &active();

    VirtualClock &clock() { return m_clock; }

    // Converters are listed and opened by their index, in the order they were added, until
    // one is unplugged: converter() keeps the order of adding.
    SimulatedConverter &addConverter(const ConverterIdentity &identity = {});
    SimulatedConverter &converter(int index) { return *m_converters.at(size_t(index)); }
    int converterCount() const { return int(m_converters.size()); }
    // The index that converter() takes for the one at this place of the list, or -1.
    int listedConverter(int listIndex) const;
    int listedCount() const;

    // Calls are counted per operation from 1. Call number `call` of `operation`, and the
    // times - 1 calls after it (EveryLaterCall: all of them), return `status` and have no
    // other effect, whatever their arguments.
    void injectFailure(Operation operation, int call, FT_STATUS status, int times = 1);
    // Runs the action when call number `call` of `operation` begins, before the call looks
    // at anything: a converter unplugged, a signal raised.
    void atCall(Operation operation, int call, std::function<void()> action);
    // FT_Write call number `call` reports FT_OK but takes only the first bytesWritten bytes.
    void injectShortWrite(int call, uint32_t bytesWritten);
    int callCount(Operation operation) const { return m_callCounts[operation]; }
    // Every FT_SetBitMode call, failed ones included, with the virtual time it was made.
    const QList<BitModeCall> &bitModeCalls() const { return m_bitModeCalls; }

    // Used by the simulated D2XX calls.
    std::optional<FT_STATUS> beginCall(Operation operation);
    uint32_t acceptedWriteLength(uint32_t length) const;
    FT_HANDLE openHandle(int index);
    void closeHandle(FT_HANDLE handle);
    int converterIndex(FT_HANDLE handle) const;
    void recordBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode, FT_STATUS status);

private:
    struct InjectedFailure
    {
        Operation operation;
        int firstCall;
        int lastCall;
        FT_STATUS status;
    };

    VirtualClock &m_clock;
    std::vector<std::unique_ptr<SimulatedConverter>> m_converters;
    QList<InjectedFailure> m_failures;
    QMultiMap<QPair<int, int>, std::function<void()>> m_actions; // by operation and call
    QMap<int, uint32_t> m_shortWrites;
    int m_callCounts[OperationCount] = {};
    QList<BitModeCall> m_bitModeCalls;
    QMap<FT_HANDLE, int> m_handles;
    quintptr m_nextHandle = 0x100;
};

#endif // SIMULATEDFTDI_H
