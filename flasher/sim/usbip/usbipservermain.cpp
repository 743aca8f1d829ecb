// usbip-server: simulated FT232R converters with an emulated bootloader behind each, exported
// over USB/IP on the loopback interface for a kernel under QEMU to attach (the guest reaches
// the host's loopback as 10.0.2.2 through QEMU's user networking). Prints "port N" once it
// listens, then serves until it is killed.

#include "usbipserver.h"
#include "virtualclock.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

#include <algorithm>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Simulated FT232R converters (0403:6001) exported over USB/IP, bus IDs 1-1, 1-2, ... "
        "in the order of their serial numbers.");
    parser.addHelpOption();
    const QCommandLineOption portOption("port", "TCP port on 127.0.0.1 (default: any free one).",
                                        "port", "0");
    const QCommandLineOption imagesOption(
        "images", "Where the image each bootloader received goes, as SERIAL.bin.", "directory");
    const QCommandLineOption unplugOption(
        "unplug", "Unplug the converter once it has taken this many bytes from the host.",
        "serial:bytes");
    parser.addOptions({portOption, imagesOption, unplugOption});
    parser.addPositionalArgument("serial", "Serial number of a converter.", "serial...");
    parser.process(application);

    const QStringList serialNumbers = parser.positionalArguments();
    const auto usable = [](const QString &serial) {
        return !serial.isEmpty() && !serial.contains('/') && serial != "." && serial != "..";
    };
    if (serialNumbers.isEmpty() || !std::all_of(serialNumbers.begin(), serialNumbers.end(), usable))
        parser.showHelp(2);
    if (!parser.isSet(imagesOption) || !QDir(parser.value(imagesOption)).exists())
        parser.showHelp(2);

    VirtualClock clock(VirtualClock::Pace::RealTime);
    UsbIpServer server(clock, parser.value(imagesOption));
    for (const QString &serialNumber : serialNumbers) {
        ChipIdentity identity;
        identity.serialNumber = serialNumber.toLatin1();
        server.addConverter(identity);
    }
    for (const QString &unplug : parser.values(unplugOption)) {
        const int index = serialNumbers.indexOf(unplug.section(':', 0, 0));
        bool isNumber = false;
        const qint64 bytes = unplug.section(':', 1).toLongLong(&isNumber);
        if (index < 0 || !isNumber || bytes < 0)
            parser.showHelp(2);
        server.unplugAfter(index, bytes);
    }
    bool isPort = false;
    const uint port = parser.value(portOption).toUInt(&isPort);
    if (!isPort || port > 65535 || !server.listen(uint16_t(port))) {
        fprintf(stderr, "usbip-server: cannot listen on port %s\n",
                qPrintable(parser.value(portOption)));
        return 1;
    }
    printf("port %u\n", unsigned(server.port()));
    fflush(stdout);
    server.serve();
}
