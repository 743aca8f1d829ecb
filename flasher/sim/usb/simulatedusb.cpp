#include "simulatedusb.h"

#include "converterholder.h"
#include "virtualclock.h"

#include <QDir>
#include <QFile>

#include <algorithm>

#include <unistd.h>

namespace {

SimulatedUsb *activeUsb = nullptr;

// Above the largest process ID that Linux hands out.
constexpr qint64 EndedProcessId = 4194305;

// Serial lock files hold the process ID as ten ASCII digits and a line end.
QByteArray lockFileFor(qint64 processId)
{
    return QByteArray::number(processId).rightJustified(10, ' ') + "\n";
}

} // namespace

SimulatedUsb::SimulatedUsb(VirtualClock &clock) : m_clock(clock)
{
    if (activeUsb)
        qFatal("SimulatedUsb: only one may exist at a time");
    if (!m_root.isValid())
        qFatal("SimulatedUsb: cannot create a temporary directory");
    activeUsb = this;
    const auto path = [this](const char *name) { return m_root.filePath(name).toStdString(); };
    setUsbSystemPaths({path("sys/bus/usb/devices"), path("proc"), path("run/lock")});
}

SimulatedUsb::~SimulatedUsb()
{
    setUsbSystemPaths({});
    activeUsb = nullptr;
}

SimulatedUsb &SimulatedUsb::active()
{
    if (!activeUsb)
        qFatal("SimulatedUsb: a libusb call was made without a SimulatedUsb");
    return *activeUsb;
}

SimulatedChip &SimulatedUsb::addConverter(const ChipIdentity &identity)
{
    const int index = converterCount();
    m_chips.push_back(std::make_unique<SimulatedChip>(identity, m_clock));
    const QString directory = deviceDirectory(index);
    writeFile(directory + "/busnum", QByteArray::number(BusNumber) + "\n");
    writeFile(directory + "/devnum", QByteArray::number(addressOf(index)) + "\n");
    writeFile(directory + "/product", identity.description + "\n");
    if (!identity.serialNumber.isEmpty())
        writeFile(directory + "/serial", identity.serialNumber + "\n");
    setDriverBound(index, converter(index).isDriverBound());
    addHolder(index, identity.holder);
    return converter(index);
}

void SimulatedUsb::setDriverBound(int index, bool bound)
{
    converter(index).setDriverBound(bound);
    showDriver(index);
}

void SimulatedUsb::setClaimed(int index, bool claimed)
{
    converter(index).setClaimed(claimed);
    showDriver(index);
}

void SimulatedUsb::showDriver(int index)
{
    const SimulatedChip &chip = converter(index);
    // An unplugged converter is gone from sysfs.
    if (!QFileInfo::exists(deviceDirectory(index)))
        return;
    const QString name = QFileInfo(deviceDirectory(index)).fileName();
    const QString interface = deviceDirectory(index) + "/" + name + ":1.0";
    // The kernel's serial driver makes a tty of the converter's first interface.
    const QString tty = interface + "/" + ttyName(index);
    if (chip.isDriverBound())
        QDir().mkpath(tty);
    else
        QDir(tty).removeRecursively();
    const QString driver = interface + "/driver";
    QFile::remove(driver);
    QDir().mkpath(interface);
    if (chip.isDriverBound())
        QFile::link("../../../../drivers/ftdi_sio", driver);
    else if (chip.isClaimed() || chip.identity().holder == ConverterHolder::UsbClaim)
        QFile::link("../../../../drivers/usbfs", driver);
}

void SimulatedUsb::unplug(int index)
{
    catchUp();
    converter(index).unplug();
    QDir(deviceDirectory(index)).removeRecursively();
}

void SimulatedUsb::countCall()
{
    const auto action = m_callActions.find(m_calls++);
    if (action == m_callActions.end())
        return;
    // Taken out first, since the action may reach the simulated libusb again.
    const std::function<void()> run = std::move(action->second);
    m_callActions.erase(action);
    run();
}

void SimulatedUsb::catchUp()
{
    for (const auto &chip : m_chips)
        chip->runUntil(m_clock.now());
}

bool SimulatedUsb::waitUntil(qint64 deadline, const std::function<bool()> &done)
{
    for (;;) {
        catchUp();
        if (done && done())
            return true;
        qint64 next = deadline;
        for (const auto &chip : m_chips)
            next = std::min(next, chip->nextEvent());
        if (next <= m_clock.now())
            return false;
        if (next == SimulatedChip::Never)
            qFatal("SimulatedUsb: waiting for something that never happens");
        m_clock.advance(next - m_clock.now());
    }
}

QString SimulatedUsb::lockFileOf(int index) const
{
    return m_root.filePath("run/lock/LCK.." + ttyName(index));
}

int SimulatedUsb::portOf(int index) const
{
    const int port = m_chips.at(size_t(index))->identity().port;
    return port > 0 ? port : index + 1;
}

QString SimulatedUsb::deviceDirectory(int index) const
{
    return m_root.filePath(
        QStringLiteral("sys/bus/usb/devices/%1-%2").arg(BusNumber).arg(portOf(index)));
}

void SimulatedUsb::writeFile(const QString &path, const QByteArray &content) const
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("SimulatedUsb: cannot write %s", qPrintable(path));
}

void SimulatedUsb::addHolder(int index, ConverterHolder holder)
{
    const int processId = m_nextProcessId++;
    const QString process = m_root.filePath(QStringLiteral("proc/%1").arg(processId));
    const QString device = "/dev/" + ttyName(index);
    const QString lockFile = lockFileOf(index);
    switch (holder) {
    case ConverterHolder::Nobody:
    case ConverterHolder::UsbClaim:
        break;
    case ConverterHolder::OpenTty:
        QDir().mkpath(process + "/fd");
        QFile::link(device, process + "/fd/3");
        writeFile(process + "/comm", QByteArray(HolderProgram) + "\n");
        break;
    case ConverterHolder::TtyLock:
        // This process surely runs.
        writeFile(lockFile, lockFileFor(getpid()));
        break;
    case ConverterHolder::StaleTtyLock:
        writeFile(lockFile, lockFileFor(EndedProcessId));
        break;
    }
}
