#include "converterholder.h"

#include <libusb.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// Lock files, sysfs attributes and process names are a line of a few dozen bytes.
constexpr size_t SmallFileLimit = 256;
// USB allows seven tiers below the root hub.
constexpr int MaximumPortDepth = 7;

UsbSystemPaths currentSystemPaths;

// The entries of a directory; none when it cannot be read (another user's process).
std::vector<fs::path> entriesOf(const fs::path &directory)
{
    std::vector<fs::path> entries;
    std::error_code error;
    for (fs::directory_iterator entry(directory, error), end; !error && entry != end;
         entry.increment(error))
        entries.push_back(entry->path());
    return entries;
}

bool startsWith(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The tty that the kernel's serial driver made of the converter's first interface, such as
// "ttyUSB0", or an empty string.
std::string ttyOf(libusb_device *device)
{
    const std::string location = usbLocationOf(device);
    const fs::path directory = fs::path(currentSystemPaths.usbDevices) / location;
    for (const fs::path &interface : entriesOf(directory)) {
        if (interface.filename() != location + ":1.0")
            continue;
        for (const fs::path &entry : entriesOf(interface)) {
            if (startsWith(entry.filename().string(), "tty"))
                return entry.filename().string();
        }
    }
    return {};
}

// Asked of the kernel: /proc hides other users' processes when mounted with hidepid, and
// shows none of another PID namespace.
bool processRuns(long processId)
{
    if (processId <= 0 || processId > INT_MAX)
        return false;
    return kill(pid_t(processId), 0) == 0 || errno != ESRCH;
}

// A lock file whose process has ended is left over from a crash and locks nothing; so is
// anything that is not a regular file holding a process ID.
bool lockedBy(const std::string &tty, FtdiHolder *holder)
{
    const std::string path = currentSystemPaths.lockFiles + "/LCK.." + tty;
    const std::string content = readSmallFile(path);
    char *end = nullptr;
    errno = 0;
    const long processId = std::strtol(content.c_str(), &end, 10);
    if (end == content.c_str() || errno != 0 || !processRuns(processId))
        return false;
    holder->kind = FtdiTtyLocked;
    holder->processId = int32_t(processId);
    copyToField(path, holder->path, sizeof holder->path);
    return true;
}

// Processes of other users do not show their descriptors.
bool openedBy(const std::string &tty, FtdiHolder *holder)
{
    const fs::path node = "/dev/" + tty;
    for (const fs::path &process : entriesOf(currentSystemPaths.processes)) {
        const std::string name = process.filename().string();
        if (name.empty() || !std::all_of(name.begin(), name.end(),
                                         [](unsigned char c) { return std::isdigit(c) != 0; }))
            continue;
        for (const fs::path &descriptor : entriesOf(process / "fd")) {
            std::error_code error;
            if (fs::read_symlink(descriptor, error) != node)
                continue;
            holder->kind = FtdiTtyOpen;
            holder->processId = int32_t(std::strtol(name.c_str(), nullptr, 10));
            copyToField(readSmallFile((process / "comm").string()), holder->program,
                        sizeof holder->program);
            copyToField(node.string(), holder->path, sizeof holder->path);
            return true;
        }
    }
    return false;
}

// A program's libusb claim shows in sysfs as the interface's driver, usbfs. Asked there
// rather than by trying a claim, which would make another brennix's open fail in that
// moment, as on a production line where several run at once.
bool claimedThroughUsbfs(libusb_device *device)
{
    const std::string location = usbLocationOf(device);
    std::error_code error;
    const fs::path driver = fs::read_symlink(
        fs::path(currentSystemPaths.usbDevices) / location / (location + ":1.0") / "driver", error);
    return !error && driver.filename() == "usbfs";
}

} // namespace

const UsbSystemPaths &usbSystemPaths()
{
    return currentSystemPaths;
}

void setUsbSystemPaths(const UsbSystemPaths &paths)
{
    currentSystemPaths = paths;
}

std::string usbLocationOf(libusb_device *device)
{
    uint8_t ports[MaximumPortDepth] = {};
    const int depth = libusb_get_port_numbers(device, ports, MaximumPortDepth);
    std::string location = std::to_string(libusb_get_bus_number(device)) + "-";
    for (int i = 0; i < depth; ++i)
        location += (i > 0 ? "." : "") + std::to_string(ports[i]);
    return location;
}

void copyToField(const std::string &text, char *field, size_t fieldSize)
{
    const size_t length = std::min(text.size(), fieldSize - 1);
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

std::string readSmallFile(const std::string &path)
{
    const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0)
        return {};
    struct stat status = {};
    char buffer[SmallFileLimit];
    ssize_t length = -1;
    if (fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode))
        length = read(descriptor, buffer, sizeof buffer);
    close(descriptor);
    if (length <= 0)
        return {};
    const std::string content(buffer, size_t(length));
    return content.substr(0, content.find('\n'));
}

FtdiHolder holderOf(libusb_device *device)
{
    FtdiHolder holder{};
    holder.kind = FtdiFree;
    holder.bus = libusb_get_bus_number(device);
    holder.address = libusb_get_device_address(device);
    libusb_device_handle *handle = nullptr;
    const int opened = libusb_open(device, &handle);
    if (opened != 0) {
        holder.kind = opened == LIBUSB_ERROR_ACCESS ? FtdiPermissionDenied : FtdiHeldUnknown;
        return holder;
    }
    if (libusb_kernel_driver_active(handle, 0) == 1) {
        // Opening it through libftdi1 would detach the driver and take the tty away from
        // whoever uses it.
        const std::string tty = ttyOf(device);
        if (!tty.empty() && !lockedBy(tty, &holder))
            openedBy(tty, &holder);
    } else if (claimedThroughUsbfs(device)) {
        holder.kind = FtdiClaimed;
    }
    libusb_close(handle);
    return holder;
}
