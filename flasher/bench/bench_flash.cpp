// Flashes the largest image that the bootloader takes through the program's own D2XX back
// end and Debian's libftdi1 into a simulated FT232R at 38400 baud, once per latency timer
// setting, and compares the virtual time each flash needs with the time the same bytes
// need on the wire alone. Then it times the wake-up attempts on a bootloader that never
// answers, at the default latency and at the largest that -lat takes. Not a test: it
// prints figures and fails only when a flash fails.

#include "brennix.h"
#include "simulatedusb.h"
#include "virtualclock.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <ctime>
#include <fcntl.h>
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
    int status;
    double seconds;     // virtual, reset to exit
    double wireSeconds; // what the bytes of the run need on the wire alone
    QByteArray flashed; // the image as the bootloader put it together
};

// The flasher's progress would bury the figures, so it goes to /dev/null.
Run runQuietly(const QString &path, int latency, const QList<QByteArray> &wakeUpReplies)
{
    VirtualClock clock;
    SimulatedUsb usb(clock);
    SimulatedChip &chip = usb.addConverter({});
    chip.bootloader().script().wakeUpReplies = wakeUpReplies;
    Brennix brennix;

    std::fflush(stdout);
    const int savedStdout = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    const int status = brennix.execute({"-lat", QString::number(latency), "-d", "0", "-f", path});
    std::fflush(stdout);
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);

    const qint64 wireBytes = chip.bytesFromHost() + chip.bytesToHost();
    return {status, clock.now() / 1e6, wireBytes * BitsPerByte / BaudRate,
            chip.bootloader().image()};
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
    const std::clock_t cpuStart = std::clock();

    printf("%d-byte image at %.0f baud, D2XX back end and libftdi1 on a simulated FT232R\n\n",
           ImageSize, BaudRate);
    printf("latency | flashing time | wire minimum | ratio\n");
    for (const int latency : {2, 8, 16}) {
        const Run run = runQuietly(path, latency, {"READY"});
        if (run.status != 0 || run.flashed != image) {
            printf("benchmark failed at %d ms: the image did not arrive intact (exit status %d)\n",
                   latency, run.status);
            return 1;
        }
        printf("  %3d ms |  %10.3f s | %10.3f s | %5.3f\n", latency, run.seconds, run.wireSeconds,
               run.seconds / run.wireSeconds);
    }

    printf("\nsilent bootloader, reset to \"bootloader not responding\":\n");
    for (const int latency : {8, 128})
        printf("  -lat %-3d  %8.3f s\n", latency, runQuietly(path, latency, {""}).seconds);

    printf("\nCPU time: %.3f s (flasher, libftdi1 and simulated chip)\n",
           double(std::clock() - cpuStart) / CLOCKS_PER_SEC);
    return 0;
}
