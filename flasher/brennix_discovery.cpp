#include "brennix.h"

#include <QFileInfo>

#include <cstdio>

namespace {

ModunaPaths currentModunaPaths;

// The port of the Moduna module, or an empty string when this machine has none.
QString modunaPort()
{
    const ModunaPaths &paths = modunaPaths();
    const QFileInfo link(paths.serialLink);
    if (link.exists() && link.isSymLink()) {
        const QString target = link.symLinkTarget();
        if (target.endsWith(QLatin1String("ttyAMA0")) || target.endsWith(QLatin1String("ttyS0")))
            return target;
    }
    if (QFileInfo::exists(paths.uart))
        return paths.uart;
    return QString();
}

} // namespace

const ModunaPaths &modunaPaths()
{
    return currentModunaPaths;
}

void setModunaPaths(const ModunaPaths &paths)
{
    currentModunaPaths = paths;
}

bool Brennix::chooseDefaultDevice()
{
    const QString port = modunaPort();
    if (port.isEmpty())
        return false;
    printf("no device specified use Moduna (%s)\n", qPrintable(port));
    serialPort.setPortName(port);
    deviceKind = SerialDevice;
    return true;
}

// The listing, the serial-number lookup and the reset need the FTDI layer, which
// arrives with the transport; until then they fail without a message.

int Brennix::listDevices()
{
    return -1;
}

bool Brennix::findDeviceBySerial(const QString &, uint32_t *)
{
    return false;
}

int Brennix::resetDevice()
{
    return -1;
}
