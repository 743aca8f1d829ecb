// Flashes the largest image that the bootloader takes through a simulated converter at
// 38400 baud and compares the virtual time the dialogue needs with the time the same
// bytes need on the wire alone. Not a test: it prints figures and fails only when the
// flashing itself fails.

#include "brennix.h"
#include "simulatedftdi.h"
#include "virtualclock.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <ctime>

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

    VirtualClock clock;
    SimulatedFtdi ftdi(clock);
    SimulatedConverter &adapter = ftdi.addConverter();
    Brennix brennix;

    const std::clock_t cpuStart = std::clock();
    const int status = brennix.execute({"-d", "0", "-f", path});
    const double cpuSeconds = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;

    if (status != 0 || adapter.bootloader().image() != image) {
        printf("benchmark failed: the image did not arrive intact (exit status %d)\n", status);
        return 1;
    }
    const double virtualSeconds = clock.now() / 1e6;
    const qint64 wireBytes = adapter.bytesFromHost() + adapter.bytesToHost();
    const double wireSeconds = wireBytes * BitsPerByte / BaudRate;
    printf("\n%d-byte image at %.0f baud\n", ImageSize, BaudRate);
    printf("virtual flashing time: %8.3f s (reset to verdict)\n", virtualSeconds);
    printf("wire-time minimum:     %8.3f s (%lld bytes to the adapter, %lld from it)\n",
           wireSeconds, adapter.bytesFromHost(), adapter.bytesToHost());
    printf("ratio:                 %8.3f\n", virtualSeconds / wireSeconds);
    printf("CPU time:              %8.3f s (flasher and simulated converter)\n", cpuSeconds);
    return 0;
}
