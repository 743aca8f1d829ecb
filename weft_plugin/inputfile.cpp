#include "inputfile.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Large enough for any page or asset to arrive in one read; a larger file is read in pieces
// of this size rather than held whole.
constexpr qint64 maxPieceSize = 1 << 20;

} // namespace

InputFile::~InputFile()
{
    close();
}

int InputFile::open(const QString &path)
{
    close();
    fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return errno;
    const int error = fstat(fd, &fileStatus) != 0   ? errno
                      : S_ISDIR(fileStatus.st_mode) ? EISDIR
                                                    : 0;
    if (error) {
        close();
        return error;
    }
    unread = fileStatus.st_size;
    begin = end = 0;
    finished = failed = sizeChanged = false;
    return 0;
}

void InputFile::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Reads the next piece into the buffer. The last piece asks for one byte more than is left,
// which only a file that grew delivers; a file that ends early has shrunk.
bool InputFile::fill()
{
    begin = end = 0;
    if (finished)
        return false;
    const bool lastPiece = unread < maxPieceSize;
    const qint64 wanted = lastPiece ? unread + 1 : maxPieceSize;
    if (buffer.size() < wanted)
        buffer.resize(int(wanted));
    qint64 got;
    do {
        got = ::read(fd, buffer.data(), std::size_t(wanted));
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        failed = finished = true;
        return false;
    }
    if (got > unread || (got == 0 && unread > 0))
        sizeChanged = true;
    got = std::min(got, unread);
    finished = sizeChanged || (lastPiece && got == unread);
    unread -= got;
    end = int(got);
    return got > 0;
}

qint64 InputFile::readLine(char *line, int size)
{
    int length = 0;
    while (length < size - 1 && (begin < end || fill())) {
        const char *const start = buffer.constData() + begin;
        const int available = std::min(size - 1 - length, end - begin);
        const void *const lineFeed = std::memchr(start, '\n', std::size_t(available));
        const int taken =
            lineFeed ? int(static_cast<const char *>(lineFeed) - start) + 1 : available;
        std::memcpy(line + length, start, std::size_t(taken));
        length += taken;
        begin += taken;
        if (lineFeed)
            break;
    }
    line[length] = '\0';
    return length == 0 && failed ? -1 : length;
}

bool InputFile::readPiece(const char *&data, int &length)
{
    if (begin == end && !fill())
        return false;
    data = buffer.constData() + begin;
    length = end - begin;
    begin = end;
    return true;
}
