#include "brennix.h"

#include "firmwarefile.h"
#include "interruption.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

int refuseGpioWithConverter()
{
    printf("-gpio is for the Moduna module: an FTDI converter resets its adapter itself\n");
    return EXIT_FAILURE;
}

} // namespace

Brennix::Brennix(QObject *parent) : QObject(parent)
{
    QTimer::singleShot(100, this, SLOT(run()));
}

Brennix::~Brennix() = default;

void Brennix::run()
{
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    QCoreApplication::exit(execute(arguments));
}

int Brennix::execute(const QStringList &arguments)
{
    const Interruption interruption;
    int status = performJob(arguments);
    closeDevice();
    // A job that was done when the signal came stays done.
    if (const int signal = Interruption::signal(); signal != 0 && status != EXIT_SUCCESS) {
        // The progress bar or the verification's dots end without a line end.
        if (transferStarted)
            printf("\ninterrupted: the flash is incomplete, flash the adapter again\n");
        else
            printf("interrupted\n");
        status = 128 + signal;
    }
    return status;
}

bool Brennix::stopRequested()
{
    return Interruption::signal() != 0;
}

void Brennix::printBanner()
{
    printf("Brennix V2_10 firmware flasher for Zigbee radio adapters, built 2016/09/26\n");
}

void Brennix::printHelp()
{
    printf("usage: Brennix <options>\n");
    printf("options:\n");
    printf(" -r              force device reset without programming\n");
    printf(" -f <firmware>   flash firmware file\n");
    printf(" -d <device>     device to use\n");
    printf(" -sn <serial>    FTDI device with serial number to use\n");
    printf(" -l              list devices\n");
    printf(" -h -?           print this help\n");
    printf("done\n");
}

int Brennix::performJob(const QStringList &arguments)
{
    RunOptions options;
    if (const std::optional<int> status = parseArguments(arguments, options))
        return *status;

    if (deviceKind == NoDevice && !chooseDefaultDevice()) {
        printf("no device specified (use -l to list all devices)\n");
        return EXIT_FAILURE;
    }
    if (options.resetRequested)
        return resetOnly();
    if (options.firmwarePath.isEmpty()) {
        printHelp();
        return EXIT_FAILURE;
    }

    printf("using firmware file: %s \n", qPrintable(options.firmwarePath));
    const FirmwareFile firmware = loadFirmwareFile(options.firmwarePath);
    if (!firmware.isAccepted()) {
        printf("%s", firmware.error.constData());
        return EXIT_FAILURE;
    }
    return flashImage(firmware.image);
}

std::optional<int> Brennix::parseArguments(const QStringList &arguments, RunOptions &options)
{
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &option = arguments.at(i);
        if (option == QLatin1String("-r")) {
            options.resetRequested = true;
            continue;
        }
        if (option == QLatin1String("-l"))
            return listDevices() == -1 ? EXIT_FAILURE : EXIT_SUCCESS;

        const bool hasValue = i + 1 < arguments.size();
        const QString value = hasValue ? arguments.at(i + 1) : QString();
        if (hasValue && option == QLatin1String("-f")) {
            options.firmwarePath = value;
        } else if (hasValue && option == QLatin1String("-d")) {
            if (value != QLatin1String("Moduna")) {
                bool isNumber = false;
                ftdiIndex = value.toUInt(&isNumber, 10);
                if (!isNumber) {
                    printf("invalid device parameter %s\n", qPrintable(value));
                    return EXIT_FAILURE;
                }
                deviceKind = FtdiDevice;
                // A later choice replaces an earlier -sn's.
                chosenConverter.reset();
            }
        } else if (hasValue && option == QLatin1String("-sn")) {
            // The conflict is the more useful message than a failed lookup.
            if (gpioResetLine)
                return refuseGpioWithConverter();
            uint32_t index = 0;
            if (!findDeviceBySerial(value, &index)) {
                printf("invalid serial number parameter %s\n", qPrintable(value));
                return EXIT_FAILURE;
            }
            ftdiIndex = index;
            serialNumber = value;
            deviceKind = FtdiDevice;
        } else if (hasValue && option == QLatin1String("-lat")) {
            bool isNumber = false;
            const int milliseconds = value.toInt(&isNumber, 10);
            if (isNumber && milliseconds >= 2 && milliseconds <= 128) {
                printf("use FTDI latency %d\n", milliseconds);
                latency = milliseconds;
            }
        } else if (hasValue && option == QLatin1String("-gpio")) {
            // Split at the last colon, so that a chip's path may hold one.
            const int colon = value.lastIndexOf(QLatin1Char(':'));
            if (colon <= 0 || colon == value.size() - 1) {
                printf("invalid GPIO parameter %s\n", qPrintable(value));
                return EXIT_FAILURE;
            }
            gpioResetLine = GpioResetLine{value, value.left(colon), value.mid(colon + 1)};
        } else {
            printHelp();
            return EXIT_SUCCESS;
        }
        ++i; // the value has been consumed
    }
    if (gpioResetLine && deviceKind == FtdiDevice)
        return refuseGpioWithConverter();
    return std::nullopt;
}

int Brennix::resetOnly()
{
    if (resetDevice() == -1)
        return EXIT_FAILURE;
    printf("SUCCESS\n");
    return EXIT_SUCCESS;
}
