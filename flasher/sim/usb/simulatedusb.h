#ifndef SIMULATEDUSB_H
#define SIMULATEDUSB_H

#include "simulatedchip.h"

#include <QString>
#include <QTemporaryDir>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class VirtualClock;

// The USB bus that the libusb-1.0 functions of the usb_sim library reach while an object
// of this class exists (one at a time). Debian's libftdi1 and the program's own D2XX back
// end (d2xx_libftdi.cpp) run unchanged on top of it, so a test drives the real back end:
//
//     VirtualClock clock;                  // sleeps and USB waits now advance virtual time
//     SimulatedUsb usb(clock);
//     SimulatedChip &chip = usb.addConverter({...});
//     chip.bootloader().script().wakeUpReplies = {"Error", "READY"};
//
// The bus also keeps a small file tree of what the operating system shows about its
// converters, which the back end reads through its UsbSystemPaths while the bus exists:
// sysfs entries with the tty of a converter whose kernel serial driver is bound, the open
// descriptors of other processes under proc, and serial lock files.
class SimulatedUsb
{
public:
    static constexpr int BusNumber = 1;
    // The name of the program that holds the tty of a converter whose holder is OpenTty.
    static constexpr const char *HolderProgram = "minicom";

    explicit SimulatedUsb(VirtualClock &clock);
    ~SimulatedUsb();
    SimulatedUsb(const SimulatedUsb &) = delete;
    SimulatedUsb &operator=(const SimulatedUsb &) = delete;

    static SimulatedUsb &active();

    // Converters are enumerated in the order they were added; the first has address 2.
    SimulatedChip &addConverter(const ChipIdentity &identity = {});
    SimulatedChip &converter(int index) { return *m_chips.at(size_t(index)); }
    int converterCount() const { return int(m_chips.size()); }
    static int addressOf(int index) { return index + 2; }
    int portOf(int index) const;
    // The serial lock file of the converter's tty.
    QString lockFileOf(int index) const;
    // From now on libusb's event handling fails, so that no transfer comes back.
    void breakEventHandling() { m_eventHandlingBroken = true; }
    // Pulls the converter out, as the kernel sees it: it leaves the device list and sysfs,
    // calls on its handles fail with LIBUSB_ERROR_NO_DEVICE, and its pending reads end
    // with LIBUSB_TRANSFER_NO_DEVICE.
    void unplug(int index);
    // Runs the action just before call number `call` (counted from 0) of the simulated
    // libusb functions that reach the bus, so that a test can pull a converter out at any
    // point of a run.
    void atCall(qint64 call, std::function<void()> action)
    {
        m_callActions[call] = std::move(action);
    }
    qint64 callCount() const { return m_calls; }

    // Used by the simulated libusb.
    void countCall();
    VirtualClock &clock() { return m_clock; }
    bool isEventHandlingBroken() const { return m_eventHandlingBroken; }
    void setDriverBound(int index, bool bound);
    // By a handle of this process.
    void setClaimed(int index, bool claimed);
    // Brings every chip up to the present.
    void catchUp();
    // Lets virtual time pass, event by event, until done() holds or the deadline (virtual
    // microseconds) has come; returns whether done() holds.
    bool waitUntil(qint64 deadline, const std::function<bool()> &done = {});

private:
    QString deviceDirectory(int index) const;
    // The interface's driver as sysfs shows it: the serial driver, usbfs for a claim, or none.
    void showDriver(int index);
    QString ttyName(int index) const { return QStringLiteral("ttyUSB%1").arg(index); }
    void writeFile(const QString &path, const QByteArray &content) const;
    void addHolder(int index, ConverterHolder holder);

    VirtualClock &m_clock;
    std::vector<std::unique_ptr<SimulatedChip>> m_chips;
    QTemporaryDir m_root;
    int m_nextProcessId = 4242;
    bool m_eventHandlingBroken = false;
    qint64 m_calls = 0;
    std::map<qint64, std::function<void()>> m_callActions;
};

#endif // SIMULATEDUSB_H
