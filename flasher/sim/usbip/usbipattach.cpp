// usbip-attach HOST PORT BUSID VHCIPORT: imports the device BUSID from the USB/IP server at
// HOST:PORT and attaches it to port VHCIPORT of the kernel's vhci-hcd, which then enumerates
// it as if it had been plugged in. What the usbip tool of the kernel's sources does for one
// device, without its dependencies, so that it runs in a bare initramfs.

#include "usbipprotocol.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace UsbIp;

const char AttachFile[] = "/sys/devices/platform/vhci_hcd.0/attach";

int fail(const char *what)
{
    fprintf(stderr, "usbip-attach: %s: %s\n", what, strerror(errno));
    return 1;
}

bool readAll(int socket, unsigned char *buffer, size_t length)
{
    for (size_t done = 0; done < length;) {
        const ssize_t count = recv(socket, buffer + done, length - done, 0);
        if (count <= 0 && !(count < 0 && errno == EINTR))
            return false;
        done += size_t(count > 0 ? count : 0);
    }
    return true;
}

uint32_t bigEndian32(const unsigned char *bytes)
{
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 5 || strlen(argv[3]) >= BusIdLength) {
        fprintf(stderr, "usage: usbip-attach HOST PORT BUSID VHCIPORT\n");
        return 2;
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(uint16_t(atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &server.sin_addr) != 1) {
        fprintf(stderr, "usbip-attach: not an IPv4 address: %s\n", argv[1]);
        return 2;
    }
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    if (socket < 0 || connect(socket, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0)
        return fail("connect");
    // As the usbip tool sets them: URBs are small messages that wait for each other, and a
    // vanished server must show as a broken connection.
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);

    unsigned char request[OperationHeaderLength + BusIdLength] = {};
    request[0] = ProtocolVersion >> 8;
    request[1] = ProtocolVersion & 0xFF;
    request[2] = ImportRequest >> 8;
    request[3] = ImportRequest & 0xFF;
    memcpy(request + 8, argv[3], strlen(argv[3]));
    if (send(socket, request, sizeof request, 0) != ssize_t(sizeof request))
        return fail("send");
    unsigned char reply[OperationHeaderLength + DeviceRecordLength];
    if (!readAll(socket, reply, OperationHeaderLength))
        return fail("import reply");
    if (bigEndian32(reply + 4) != 0) {
        fprintf(stderr, "usbip-attach: the server refused %s\n", argv[3]);
        return 1;
    }
    if (!readAll(socket, reply + OperationHeaderLength, DeviceRecordLength))
        return fail("device record");
    const unsigned char *numbers = reply + OperationHeaderLength + NumbersOffset;
    const uint32_t deviceId = bigEndian32(numbers) << 16 | bigEndian32(numbers + 4);
    const uint32_t speed = bigEndian32(numbers + 8);

    FILE *attach = fopen(AttachFile, "w");
    if (!attach)
        return fail(AttachFile);
    // The kernel takes its own reference to the socket; ours may go.
    fprintf(attach, "%s %d %u %u", argv[4], socket, deviceId, speed);
    if (fclose(attach) != 0)
        return fail(AttachFile);
    close(socket);
    return 0;
}
