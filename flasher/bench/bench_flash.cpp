// Flashes the largest image that the bootloader takes at 38400 baud and compares the time
// with what the same bytes need on the wire alone:
// - through the program's own D2XX back end and Debian's libftdi1 into a simulated FT232R,
//   once per latency timer setting: the flashing time on the virtual clock, which repeats
//   exactly, and the CPU time of the same flash run again at the wire's real pace, which
//   shows whether the waits sleep or spin;
// - through QSerialPort to the simulated Moduna module, in real time.
// Then it times the wake-up attempts on a bootloader that never answers. A run takes about
// six minutes, most of it the real-time flashes. Not a test: it prints figures and fails
// only when a flash fails.

#include "brennix.h"
#include "simulatedmoduna.h"
#include "simulatedusb.h"
#include "virtualclock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int ImageSize = 253952;
constexpr double BaudRate = 38400;
constexpr double BitsPerByte = 10; // 8N1

QByteArray benchmarkImage()
{
    QByteArray image(ImageSize, '\0');
    for (int i = 0; i < ImageSize; ++i)
        image[i] = char((i * 31 + i / 256) & 0xFF);
    return image;
}

struct Run
{
    int status = -1;
    double seconds = 0;     // reset to exit
    double wireSeconds = 0; // what the bytes of the run need on the wire alone
    double cpuSeconds = 0;  // of the flasher's thread (with the FTDI converter: and its chip)
    QByteArray flashed;     // the image as the bootloader put it together
};

double threadCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    const auto seconds = [](const timeval &time) { return time.tv_sec + time.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double wireSeconds(qint64 bytes)
{
    return bytes * BitsPerByte / BaudRate;
}

// The flasher's progress would bury the figures, so it goes to /dev/null.
Run runQuietly(const QStringList &arguments)
{
    Run run;
    std::fflush(stdout);
    const int savedStdout = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    const double cpuStart = threadCpuSeconds();
    QElapsedTimer elapsed;
    elapsed.start();
    Brennix brennix;
    run.status = brennix.execute(arguments);
    run.seconds = elapsed.nsecsElapsed() / 1e9;
    run.cpuSeconds = threadCpuSeconds() - cpuStart;
    std::fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    return run;
}

Run flashConverter(const QString &path, int latency, VirtualClock::Pace pace,
                   const QList<QByteArray> &wakeUpReplies = {"READY"})
{
    VirtualClock clock(pace);
    SimulatedUsb usb(clock);
    SimulatedChip &chip = usb.addConverter({});
    chip.bootloader().script().wakeUpReplies = wakeUpReplies;
    Run run = runQuietly({"-lat", QString::number(latency), "-d", "0", "-f", path});
    if (pace == VirtualClock::Pace::Instant)
        run.seconds = clock.now() / 1e6;
    run.wireSeconds = wireSeconds(chip.bytesFromHost() + chip.bytesToHost());
    run.flashed = chip.bootloader().image();
    return run;
}

Run flashModuna(const QString &path)
{
    VirtualClock clock(VirtualClock::Pace::RealTime);
    SimulatedModuna moduna(clock);
    setModunaPaths({QString(), moduna.portName()});
    Run run = runQuietly({"-gpio", "sim:0", "-f", path});
    setModunaPaths(ModunaPaths());
    run.wireSeconds = wireSeconds(moduna.bytesFromHost() + moduna.bytesToHost());
    run.flashed = moduna.bootloader().image();
    return run;
}

bool intact(const Run &run, const QByteArray &image, const char *what)
{
    if (run.status == 0 && run.flashed == image)
        return true;
    printf("benchmark failed %s: the image did not arrive intact (exit status %d)\n", what,
           run.status);
    return false;
}

void printRow(const char *what, const Run &timed, const Run &paced)
{
    printf("%-9s | %10.3f s | %10.3f s | %5.3f | %6.3f s (%.2f %%)\n", what, timed.seconds,
           timed.wireSeconds, timed.seconds / timed.wireSeconds, paced.cpuSeconds,
           100 * paced.cpuSeconds / paced.seconds);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("firmware.bin"));
    const QByteArray image = benchmarkImage();
    QFile file(path);
    if (!directory.isValid() || !file.open(QIODevice::WriteOnly) ||
        file.write(image) != ImageSize) {
        printf("cannot write %s\n", qPrintable(path));
        return 1;
    }
    file.close();

    printf("%d-byte image at %.0f baud\n\n", ImageSize, BaudRate);
    printf("FTDI      | flashing time | wire minimum | ratio | CPU time\n");
    for (const int latency : {2, 8, 16, 128}) {
        const Run timed = flashConverter(path, latency, VirtualClock::Pace::Instant);
        const Run paced = flashConverter(path, latency, VirtualClock::Pace::RealTime);
        if (!intact(timed, image, "on the virtual clock") || !intact(paced, image, "in real time"))
            return 1;
        const QByteArray what = "-lat " + QByteArray::number(latency);
        printRow(what.constData(), timed, paced);
    }
    const Run moduna = flashModuna(path);
    if (!intact(moduna, image, "on the Moduna module"))
        return 1;
    printRow("Moduna", moduna, moduna);
    printf("\nFTDI: the D2XX back end and libftdi1 on a simulated FT232R; flashing time on the\n"
           "virtual clock, CPU time of the same flash at the wire's real pace (with the\n"
           "simulated chip's). Moduna: QSerialPort on a pseudo-terminal, in real time.\n");

    printf("\nsilent bootloader, reset to \"bootloader not responding\":\n");
    for (const int latency : {8, 128})
        printf("  -lat %-3d  %8.3f s\n", latency,
               flashConverter(path, latency, VirtualClock::Pace::Instant, {""}).seconds);
    return 0;
}
