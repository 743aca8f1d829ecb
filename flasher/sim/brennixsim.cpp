// brennix on simulated adapters that keep the pace of real ones, for demonstrations and
// for trying the program without an adapter. Everything from the command line down to the
// D2XX, GPIO and serial-port calls is the program's own code; only the converters, the
// Moduna module, the adapters behind them and their clock are simulated.

#include "brennix.h"
#include "interruption.h"
#include "simulatedftdi.h"
#include "simulatedmoduna.h"
#include "virtualclock.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

// Slower than the emulator's defaults, as a real bootloader is: it erases its flash
// before the first request, writes a page after each block, and checks the image long
// enough for the verification to show.
void slowDown(BootloaderScript &script)
{
    script.firstRequestDelayMs = 150;
    script.requestDelayMs = 4;
    script.verifyDurationMs = 600;
}

void attachConverters(SimulatedFtdi &ftdi)
{
    SimulatedConverter &adapter =
        ftdi.addConverter({0x0403, 0x6001, "SIM00001", "Simulated radio adapter"});
    slowDown(adapter.bootloader().script());

    // Held by another program, so that the listing and -sn meet one as they do in practice.
    ConverterIdentity held{0x0403, 0x6015, "SIM00002", "Simulated radio adapter"};
    held.holder = {FtdiTtyOpen, 1, 3, 812, "minicom", "/dev/ttyUSB1"};
    ftdi.addConverter(held);
}

} // namespace

int main(int argc, char *argv[])
{
    Brennix::printBanner();
    printf("(simulated adapter: no hardware is used)\n");
    VirtualClock clock(VirtualClock::Pace::RealTime);
    SimulatedFtdi ftdi(clock);
    attachConverters(ftdi);
    // The Moduna module of this machine, if it has one, is real hardware: the simulated
    // one behind a pseudo-terminal takes its place as the default device, reset through
    // the simulated GPIO line sim:0.
    SimulatedModuna moduna(clock);
    BootloaderScript script;
    slowDown(script);
    moduna.setScript(script);
    setModunaPaths({QString(), moduna.portName()});

    QCoreApplication application(argc, argv);
    Brennix brennix;
    return Interruption::passOn(application.exec());
}
