#include "servedfile.h"

#include <QRandomGenerator>

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Large enough for most pages to be written in one call, small enough that a page built
// from huge includes never has to fit in memory.
constexpr int bufferSize = 64 * 1024;
// Attempts at a temporary name nobody uses, before giving up.
constexpr int maxNameAttempts = 100;

// "." and six random letters or digits, as QSaveFile named its temporary files.
QByteArray temporarySuffix()
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray suffix(".");
    for (int i = 0; i < 6; ++i)
        suffix += letters[QRandomGenerator::global()->bounded(int(sizeof letters - 1))];
    return suffix;
}

} // namespace

ServedFile::ServedFile(const QString &path, const ServedPlace &place)
    : filePath(path), filePlace(place)
{
}

ServedFile::~ServedFile()
{
    discard();
}

bool ServedFile::open(OpenMode mode)
{
    int result = filePlace.error;
    const bool replacesFile = filePlace.exists && S_ISREG(filePlace.existingMode);
    if (!result && filePlace.exists && S_ISDIR(filePlace.existingMode))
        result = EISDIR;
    // As a file opened for writing would: one that the user made read-only stays as it is.
    if (!result && replacesFile &&
        faccessat(filePlace.directory, filePlace.name.constData(), W_OK, AT_EACCESS) != 0)
        result = errno;
    for (int attempt = 1; !result && fd < 0; ++attempt) {
        const QByteArray name = filePlace.name + temporarySuffix();
        // Nobody else may read the file before it has the replaced file's permissions.
        fd = openat(filePlace.directory, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                    replacesFile ? 0600 : 0666);
        if (fd >= 0)
            temporaryName = name;
        else if (errno != EEXIST || attempt == maxNameAttempts)
            result = errno;
    }
    struct stat status;
    if (!result && (fstat(fd, &status) != 0 ||
                    (replacesFile && fchmod(fd, filePlace.existingMode & 07777) != 0)))
        result = errno;
    if (result) {
        discard();
        fail(result);
        return false;
    }
    temporaryFileId = fileId(status);
    error = 0;
    return QIODevice::open(mode);
}

qint64 ServedFile::readData(char *, qint64)
{
    return -1;
}

qint64 ServedFile::writeData(const char *data, qint64 length)
{
    if (error)
        return -1;
    buffer.append(data, int(length));
    if (buffer.size() >= bufferSize)
        writeBuffer();
    return error ? -1 : length;
}

// A write may take only part of what it is given, the rest of the file then failing with
// the reason: a full disk, the file size limit.
void ServedFile::writeBuffer()
{
    const char *data = buffer.constData();
    qint64 left = buffer.size();
    while (left > 0 && !error) {
        const ssize_t written = ::write(fd, data, std::size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            fail(written < 0 ? errno : EIO);
            break;
        }
        data += written;
        left -= written;
    }
    buffer.clear();
}

bool ServedFile::finish()
{
    if (fd < 0)
        return false;
    writeBuffer();
    // Some file systems (NFS) report a failed write only here.
    if (::close(fd) != 0 && !error)
        fail(errno);
    fd = -1;
    QIODevice::close();
    return !error;
}

int ServedFile::rename()
{
    if (renameat(filePlace.directory, temporaryName.constData(), filePlace.directory,
                 filePlace.name.constData()) != 0)
        return errno;
    temporaryName.clear();
    return 0;
}

void ServedFile::discard()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
    if (!temporaryName.isEmpty())
        unlinkat(filePlace.directory, temporaryName.constData(), 0);
    temporaryName.clear();
    QIODevice::close();
}

void ServedFile::fail(int errorNumber)
{
    error = errorNumber;
    setErrorString(qt_error_string(errorNumber));
}
