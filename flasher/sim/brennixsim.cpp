// brennix on simulated converters that keep the pace of real ones, for demonstrations
// and for trying the program without an adapter. Everything from the command line down
// to the D2XX calls is the program's own code; only the converters, the adapters behind
// them and their clock are simulated.

#include "brennix.h"
#include "simulatedftdi.h"
#include "virtualclock.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

void attachConverters(SimulatedFtdi &ftdi)
{
    SimulatedConverter &adapter =
        ftdi.addConverter({0x0403, 0x6001, "SIM00001", "Simulated radio adapter"});
    // Slower than the emulator's defaults, as a real bootloader is: it erases its flash
    // before the first request, writes a page after each block, and checks the image long
    // enough for the verification to show.
    BootloaderScript &script = adapter.bootloader().script();
    script.firstRequestDelayMs = 150;
    script.requestDelayMs = 4;
    script.verifyDurationMs = 600;

    // Held by another program, so that the listing and -sn meet one as they do in practice.
    ConverterIdentity held{0x0403, 0x6015, "SIM00002", "Simulated radio adapter"};
    held.openElsewhere = true;
    ftdi.addConverter(held);
}

} // namespace

int main(int argc, char *argv[])
{
    Brennix::printBanner();
    printf("(simulated adapter: no hardware is used)\n");
    // The Moduna module of this machine, if it has one, is real hardware: without -d the
    // simulator finds no default device, as on a machine without one.
    setModunaPaths({QString(), QString()});
    VirtualClock clock(VirtualClock::Pace::RealTime);
    SimulatedFtdi ftdi(clock);
    attachConverters(ftdi);

    QCoreApplication application(argc, argv);
    Brennix brennix;
    return application.exec();
}
