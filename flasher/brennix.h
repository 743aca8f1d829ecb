#ifndef BRENNIX_H
#define BRENNIX_H

#include "d2xx.h"

#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

struct FirmwareImage;

// The D2XX handle of the open FTDI converter; the reset opens and closes the same one.
extern FT_HANDLE ftdiHandle;

constexpr int RxBufferSize = 1024;
// The last byte of a bootloader's block request, "GET", block number, ";".
constexpr uint8_t BlockRequestEnd = ';';
// Bootloader replies: the wake-up text, one block request, or the verdict.
extern uint8_t rxBuffer[RxBufferSize];

enum DeviceKind : int32_t
{
    NoDevice = 0,
    FtdiDevice = 1,  // FTDI USB converter through the D2XX library
    SerialDevice = 2 // serial port, the Moduna module of a single-board computer
};

// Where a single-board computer presents its Moduna radio module. The program always
// uses the defaults; tests point them at a temporary directory.
struct ModunaPaths
{
    QString serialLink = QStringLiteral("/dev/serial0");
    QString uart = QStringLiteral("/dev/ttyAMA0");
};

const ModunaPaths &modunaPaths();
void setModunaPaths(const ModunaPaths &paths);

// The reset pulse, the same on an FTDI converter's CBUS0 and on a GPIO line: the reset is
// active low, and the bootloader gets time to start before the line is handed back.
constexpr int ResetPulseMs = 200;
constexpr int ResetRecoveryMs = 20;

// The GPIO line wired to the Moduna module's reset, from "-gpio <chip>:<line>".
struct GpioResetLine
{
    QString argument; // as given, for the messages
    QString chip;     // name, device path or number
    QString line;     // offset or the kernel's name of the line
};

// Does one job per process: flash a firmware file, list the adapters, or reset one.
class Brennix : public QObject
{
    Q_OBJECT

public:
    explicit Brennix(QObject *parent = nullptr);
    ~Brennix() override;

    // The whole job for the given arguments (without the program path); returns the exit status.
    int execute(const QStringList &arguments);

    // The first line of every run, printed before the application object exists.
    static void printBanner();
    void printHelp();

public slots:
    void run();

private:
    struct RunOptions
    {
        QString firmwarePath;
        bool resetRequested = false;
    };

    int performJob(const QStringList &arguments);
    // Whether a signal asked the job to stop: the loops of the dialogue look at it and end
    // without a message of their own.
    static bool stopRequested();
    // Gives the exit status when the arguments alone end the run.
    std::optional<int> parseArguments(const QStringList &arguments, RunOptions &options);
    int resetOnly();

    // Device transport (brennix_device.cpp).
    bool openDevice();
    // Opens the converter chosen for this run into ftdiHandle, and no other.
    FT_STATUS openChosenConverter();
    bool closeDevice();
    qint64 writeDevice(const uint8_t *data, qint64 length);
    qint64 readDevice(uint8_t *buffer, qint64 maximum);
    void flushDevice();
    qint64 deviceBytesAvailable();
    bool waitForDeviceData(int milliseconds);

    // Discovery and reset (brennix_discovery.cpp).
    int listDevices();
    bool chooseDefaultDevice();
    bool findDeviceBySerial(const QString &serial, uint32_t *index);
    // Says why the chosen converter could not be opened, when the system tells.
    void explainOpenFailure(FT_STATUS status);
    int resetDevice();
    int resetThroughGpio(); // brennix_gpioreset.cpp

    // Bootloader dialogue (brennix_flash.cpp); returns the exit status. Each step below
    // prints its own failure and returns false (or -1).
    int flashImage(const FirmwareImage &image);
    bool wakeUpBootloader();
    // Adds what arrives within the time to the reply text in rxBuffer.
    bool receiveReplyText(int *textLength, int milliseconds);
    bool sendDescriptor(const FirmwareImage &image);
    bool serveBlocks(const FirmwareImage &image);
    int receiveBlockRequest();
    bool receiveRequestByte(uint8_t *byte);
    bool writeToDevice(const uint8_t *data, qint64 length);
    void awaitVerification();
    int readVerdict();

    bool isOpen = false;
    DeviceKind deviceKind = NoDevice;
    int32_t latency = 8; // FTDI latency timer in milliseconds
    uint32_t ftdiIndex = 0;
    QString serialNumber;
    // The converter that the first open found; every later open goes to it alone.
    std::optional<FtdiIdentity> chosenConverter;
    // The FTDI reset pulse has begun and not ended: closing ends it first.
    bool resetAsserted = false;
    // The bootloader has the descriptor: from now on an interrupted run leaves the
    // adapter's flash half written.
    bool transferStarted = false;
    QSerialPort serialPort;
    std::optional<GpioResetLine> gpioResetLine;

    friend class TestBrennix;
    friend class TestFtdiTransport;
    friend class TestSerialTransport;
};

#endif // BRENNIX_H
