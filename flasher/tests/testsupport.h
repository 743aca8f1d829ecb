#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

// Tools shared by the flasher's tests: firmware files and the capture of what the
// flasher prints.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryFile>
#include <QtEndian>

#include <cstdint>
#include <cstdio>
#include <unistd.h>

namespace TestSupport {

// The help text exactly as the program prints it.
const QByteArray help = "usage: Brennix <options>\n"
                        "options:\n"
                        " -r              force device reset without programming\n"
                        " -f <firmware>   flash firmware file\n"
                        " -d <device>     device to use\n"
                        " -sn <serial>    FTDI device with serial number to use\n"
                        " -l              list devices\n"
                        " -h -?           print this help\n"
                        "done\n";

inline QByteArray firmwareHeader(uint8_t type, uint32_t targetAddress, uint32_t size, uint8_t crc)
{
    QByteArray header(14, '\0');
    auto *bytes = reinterpret_cast<uchar *>(header.data());
    qToLittleEndian<uint32_t>(0xCAFEFEED, bytes);
    bytes[4] = type;
    qToLittleEndian<uint32_t>(targetAddress, bytes + 5);
    qToLittleEndian<uint32_t>(size, bytes + 9);
    bytes[13] = crc;
    return header;
}

inline QString writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// Sends standard output into a temporary file while it lives; text() gives what arrived.
class StdoutCapture
{
public:
    StdoutCapture()
    {
        if (!m_file.open())
            qFatal("cannot create a temporary file for standard output");
        std::fflush(stdout);
        m_savedStdout = dup(STDOUT_FILENO);
        dup2(m_file.handle(), STDOUT_FILENO);
    }

    ~StdoutCapture() { restore(); }

    QByteArray text()
    {
        restore();
        m_file.seek(0);
        return m_file.readAll();
    }

private:
    void restore()
    {
        if (m_savedStdout < 0)
            return;
        std::fflush(stdout);
        dup2(m_savedStdout, STDOUT_FILENO);
        close(m_savedStdout);
        m_savedStdout = -1;
    }

    QTemporaryFile m_file;
    int m_savedStdout = -1;
};

// What a job of the flasher printed and the exit status it ended with.
struct CapturedRun
{
    int status = -1;
    QByteArray output;
};

template <typename Job> CapturedRun captureRun(Job job)
{
    StdoutCapture capture;
    const int status = job();
    return {status, capture.text()};
}

} // namespace TestSupport

#endif // TESTSUPPORT_H
