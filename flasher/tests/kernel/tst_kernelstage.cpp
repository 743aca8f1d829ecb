#include "initramfs.h"

#include <QCollator>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <vector>

#include <unistd.h>

namespace {

// FT232BM chips of QEMU's own xHCI controller: they enumerate, bind ftdi_sio and make a tty,
// but stall the bit mode request, so they can be listed and held but not reset or flashed.
// The third names itself with terminal escape sequences, as any USB device may.
const QByteArray HostileSerial = "EV\x1b[2J\x1b[31mIL";
const QStringList QemuConverters{"QEMU0001", "QEMU0002", QString::fromLatin1(HostileSerial)};
// Simulated FT232R chips with a bootloader behind each, attached over USB/IP in this order:
// SIMF0001 is reset and flashed, SIMC0001 flashed while another brennix looks at it,
// SIMU0001 unplugged once half its image has gone out, SIMP0001..3 are a production line.
const QStringList UsbIpConverters{"SIMF0001", "SIMC0001", "SIMU0001",
                                  "SIMP0001", "SIMP0002", "SIMP0003"};
const QString Unplugged = QStringLiteral("SIMU0001:8192");
constexpr int ImageSize = 16384;

// What the cases need; modules.dep adds what these depend on.
const QStringList Modules{"xhci-pci", "ftdi_sio", "vhci-hcd", "e1000"};

const QStringList Kvm{"-accel", "kvm", "-cpu", "host"};
const QStringList Tcg{"-accel", "tcg", "-cpu", "max"};
// Nested KVM can hang rather than fail, so its probe gets little time.
constexpr int ProbeSeconds = 20;
constexpr int BootSeconds = 240;
constexpr int CaseSeconds = 60;

// One case, run by the guest's busybox sh with the others in one boot. Its commands may use
// the functions of GuestHelpers below: "tty_of SERIAL" prints the converter's tty name,
// "has_tty SERIAL" tells whether it has one, "wait_for COMMAND..." retries the command for
// up to 20 s, "holds PID TTY" tells whether the process has the tty open as its standard
// input. Every brennix in a case is the real program in the guest; one that runs in the
// background must end within the case.
struct GuestCase
{
    const char *name;
    const char *commands;
    int status;              // of the last command
    QByteArrayList expected; // in this order in the output
    QByteArrayList forbidden;
    QStringList flashed; // converters whose bootloader must have received their image
};

QByteArray listed(int index, const QByteArray &serial, const QByteArray &description)
{
    return "   " + QByteArray::number(index) + "    | 0x0403 | 0x6001  | " + serial + " | " +
           description + "\n";
}

QByteArray held(int index)
{
    return "failed to open FTDI device (" + QByteArray::number(index) + ") status = 3\n\n";
}

QByteArray permissionHint(const QByteArray &node)
{
    return "permission denied for " + node +
           ": install brennix's udev rule (60-brennix-ftdi.rules) and join the plugdev group, "
           "or run as root\n";
}

// Converters are numbered by their place: QEMU's on bus 1, ports 1 to 3, then the USB/IP
// ones on bus 3 in the order they were attached.
const std::vector<GuestCase> Cases{
    {"listing",
     "brennix -l",
     0,
     {"\n       9  FTDI devices found\n\n", listed(0, "QEMU0001", "QEMU USB SERIAL"),
      listed(1, "QEMU0002", "QEMU USB SERIAL"),
      listed(2, "EV\\x1b[2J\\x1b[31mIL", "QEMU USB SERIAL"), listed(3, "SIMF0001", "Radio adapter"),
      listed(4, "SIMC0001", "Radio adapter"), listed(5, "SIMU0001", "Radio adapter"),
      listed(6, "SIMP0001", "Radio adapter"), listed(7, "SIMP0002", "Radio adapter"),
      listed(8, "SIMP0003", "Radio adapter")},
     {"failed to open", "\x1b"},
     {}},
    {"user without permission",
     "su user -c 'brennix -l'",
     0,
     {held(0) + permissionHint("/dev/bus/usb/001/002"),
      held(3) + permissionHint("/dev/bus/usb/003/002"),
      held(8) + permissionHint("/dev/bus/usb/003/007")},
     {"| 0x0403 |"},
     {}},
    {"tty held open",
     "tty=$(tty_of QEMU0001)\n"
     "sleep 600 < /dev/$tty &\n"
     "holder=$!\n"
     "wait_for holds $holder $tty\n"
     "stty -F /dev/$tty 19200\n"
     "before=$(stty -F /dev/$tty -g)\n"
     "brennix -l\n"
     "brennix -sn QEMU0001; echo \"exit $?\"\n"
     "holds $holder $tty && echo 'holder keeps its descriptor'\n"
     "[ \"$(stty -F /dev/$tty -g)\" = \"$before\" ] && echo 'line settings kept'\n"
     "kill $holder",
     0,
     {held(0) + "in use by sleep (pid ", "in use by sleep (pid ",
      "invalid serial number parameter QEMU0001\nexit 1\n",
      "holder keeps its descriptor\nline settings kept\n"},
     {"| QEMU0001 |"},
     {}},
    {"live lock file",
     "tty=$(tty_of QEMU0002)\n"
     "sleep 600 &\n"
     "locker=$!\n"
     "printf '%10d\\n' $locker > /run/lock/LCK..$tty\n"
     "brennix -l\n"
     "brennix -sn QEMU0002; echo \"exit $?\"\n"
     "kill $locker\n"
     "rm /run/lock/LCK..$tty",
     0,
     {held(1) + "in use: /run/lock/LCK..ttyUSB", "in use: /run/lock/LCK..ttyUSB",
      "invalid serial number parameter QEMU0002\nexit 1\n"},
     {"| QEMU0002 |"},
     {}},
    {"dead lock file",
     "tty=$(tty_of QEMU0002)\n"
     "sleep 0 &\n"
     "wait $!\n"
     "printf '%10d\\n' $! > /run/lock/LCK..$tty\n"
     "brennix -l\n"
     "brennix -sn QEMU0002; echo \"exit $?\"\n"
     "rm /run/lock/LCK..$tty",
     0,
     {listed(1, "QEMU0002", "QEMU USB SERIAL"), "done\nexit 1\n"},
     {"failed to open", "invalid serial number"},
     {}},
    // Any user may put a FIFO in /run/lock; opened for reading, it would wait for a writer.
    {"FIFO as a lock file",
     "tty=$(tty_of QEMU0002)\n"
     "mkfifo /run/lock/LCK..$tty\n"
     "timeout 20 brennix -l; echo \"exit $?\"\n"
     "rm /run/lock/LCK..$tty",
     0,
     {listed(1, "QEMU0002", "QEMU USB SERIAL"), "exit 0\n"},
     {"failed to open"},
     {}},
    {"reset hands the driver back",
     "before=$(tty_of SIMF0001)\n"
     "brennix -sn SIMF0001 -r; echo \"exit $?\"\n"
     "after=$(tty_of SIMF0001)\n"
     "echo \"tty $before, then $after\"\n"
     "[ -n \"$after\" ] && [ \"$after\" = \"$before\" ] && [ -c /dev/$after ] && echo 'same tty'",
     0,
     {"reset via FTDI\nSUCCESS\nexit 0\n", "same tty\n"},
     {},
     {}},
    {"complete flash",
     "brennix -sn SIMF0001 -f /images/SIMF0001.bin",
     0,
     {"using firmware file: /images/SIMF0001.bin \nreset via FTDI\n\nflashing 16384 bytes: |",
      "|\nverify: \nSUCCESS\n"},
     {"error"},
     {"SIMF0001"}},
    // Run in the foreground, as Ctrl-C finds it: a shell's background job ignores SIGINT.
    {"Ctrl-C during a flash",
     "(wait_for grep -q '|==' /tmp/interrupted.out && kill -INT $(pidof brennix)) &\n"
     "brennix -sn SIMF0001 -f /images/SIMF0001.bin > /tmp/interrupted.out; echo \"exit $?\"\n"
     "cat /tmp/interrupted.out\n"
     "wait_for has_tty SIMF0001 && echo 'tty back'",
     0,
     {"exit 130\n", "=\ninterrupted: the flash is incomplete, flash the adapter again\n",
      "tty back\n"},
     {"error", "SUCCESS"},
     {}},
    {"libusb claim by another brennix",
     "brennix -sn SIMC0001 -f /images/SIMC0001.bin > /tmp/holder.out &\n"
     "holder=$!\n"
     "wait_for grep -q flashing /tmp/holder.out\n"
     "brennix -l\n"
     "brennix -sn SIMC0001; echo \"exit $?\"\n"
     "wait $holder; echo \"holder exit $?\"\n"
     "cat /tmp/holder.out",
     0,
     {held(4) + "claimed through libusb by another program\n",
      "claimed through libusb by another program\n"
      "invalid serial number parameter SIMC0001\nexit 1\n",
      "holder exit 0\n", "SUCCESS\n"},
     {"| SIMC0001 |"},
     {"SIMC0001"}},
    {"converter unplugged mid-flash",
     "brennix -sn SIMU0001 -f /images/SIMU0001.bin",
     1,
     {"flashing 16384 bytes: |", "error: can not write to device\n"},
     {"SUCCESS"},
     {}},
    {"production line",
     "for serial in SIMP0001 SIMP0002 SIMP0003; do\n"
     "    (brennix -sn $serial -f /images/$serial.bin; echo \"exit $?\") > /tmp/$serial.out &\n"
     "done\n"
     "wait\n"
     "for serial in SIMP0001 SIMP0002 SIMP0003; do echo \"== $serial\"; cat /tmp/$serial.out; "
     "done",
     0,
     {"== SIMP0001\n", "SUCCESS\nexit 0\n== SIMP0002\n", "SUCCESS\nexit 0\n== SIMP0003\n",
      "SUCCESS\nexit 0\n"},
     {"error"},
     {"SIMP0001", "SIMP0002", "SIMP0003"}},
};

// Shell functions for the cases and the set-up, in /helpers.sh.
const char GuestHelpers[] = R"sh(
tty_of() {
    for device in /sys/bus/usb/devices/*; do
        [ "$(cat $device/serial 2> /dev/null)" = "$1" ] && ls $device/*:1.0 | grep tty
    done
}
wait_for() {
    tries=0
    until "$@"; do
        [ $tries -ge 200 ] && return 1
        sleep 0.1
        tries=$((tries + 1))
    done
}
holds() {
    [ "$(readlink /proc/$1/fd/0)" = "/dev/$2" ]
}
has_tty() {
    [ -n "$(tty_of $1)" ]
}
ttys_at_least() {
    [ $(ls /sys/bus/usb-serial/devices | wc -l) -ge $1 ]
}
)sh";

// The guest's part: bring up what the cases need, run them, report on the second serial
// port, power off. "@@@" lines frame what each case printed.
const char GuestPreamble[] = R"sh(#!/bin/busybox sh
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sysfs /sys
/bin/busybox mount -t devtmpfs devtmpfs /dev
/bin/busybox --install -s /bin
export PATH=/bin HOME=/tmp
stty -F /dev/ttyS1 raw -echo
exec > /dev/ttyS1 2>&1
if grep -q kernelstage=probe /proc/cmdline; then echo '@@@ probe'; poweroff -f; fi
. /helpers.sh

uptime_seconds() {
    cut -d ' ' -f 1 /proc/uptime
}
run_case() {
    echo "@@@ case $1 $(uptime_seconds)"
    timeout @CASE_SECONDS@ sh -c ". /helpers.sh && . /cases/$1.sh" < /dev/null
    status=$?
    echo
    echo "@@@ status $1 $status $(uptime_seconds)"
}

echo '@@@ setup'
)sh";

// What a guest case printed, and how it ended.
struct CaseResult
{
    QByteArray output;
    int status = -1;
    double seconds = 0;
};

struct Kernel
{
    QString image;
    QString modules;
};

// The newest kernel in /boot whose modules are installed; the running kernel is not asked.
Kernel findKernel()
{
    QStringList images = QDir("/boot").entryList({"vmlinuz-*"}, QDir::Files);
    QCollator collator;
    collator.setNumericMode(true);
    std::sort(images.begin(), images.end(), [&collator](const QString &a, const QString &b) {
        return collator.compare(a, b) > 0;
    });
    for (const QString &image : images) {
        const QString modules = "/lib/modules/" + image.mid(int(qstrlen("vmlinuz-")));
        if (QFileInfo("/boot/" + image).isReadable() && QFileInfo::exists(modules + "/modules.dep"))
            return {"/boot/" + image, modules};
    }
    return {};
}

// The modules with all they depend on, each after its dependencies: a line of modules.dep
// names a module's dependencies, all of them, each before those it needs itself.
QStringList modulesInLoadOrder(const QString &directory, QString *error)
{
    QFile file(directory + "/modules.dep");
    if (!file.open(QIODevice::ReadOnly)) {
        *error = "cannot read " + file.fileName();
        return {};
    }
    QHash<QString, QStringList> lineOf; // by module name: its path, then its dependencies
    for (const QByteArray &line : file.readAll().split('\n')) {
        QStringList paths = QString::fromLocal8Bit(line).remove(':').split(' ', Qt::SkipEmptyParts);
        if (!paths.isEmpty())
            lineOf.insert(QFileInfo(paths.first()).fileName().section('.', 0, 0), paths);
    }
    QStringList order;
    for (const QString &module : Modules) {
        const QStringList line = lineOf.value(module);
        if (line.isEmpty() || !line.first().endsWith(".ko")) {
            *error = "no uncompressed module " + module + " in " + file.fileName();
            return {};
        }
        for (auto path = line.crbegin(); path != line.crend(); ++path) {
            if (!order.contains(*path))
                order << *path;
        }
    }
    return order;
}

QByteArray imageFor(const QString &serial)
{
    QByteArray image(ImageSize, '\0');
    const uint seed = qHash(serial);
    for (int i = 0; i < ImageSize; ++i)
        image[i] = char((i * 13 + i / 256 + seed) & 0xFF);
    return image;
}

QByteArray tail(const QString &path, int lines = 40)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "(no " + path.toLocal8Bit() + ")";
    const QList<QByteArray> all = file.readAll().split('\n');
    return all.mid(std::max(0, all.size() - lines)).join('\n');
}

} // namespace

// Debian's own kernel under QEMU: its xHCI, USB core, usbserial, ftdi_sio, usbfs and
// vhci-hcd, with the real brennix, libftdi1 and libusb in an initramfs, on QEMU's usb-serial
// converters and on the project's simulated FT232R chips attached over USB/IP from
// usbip-server. One boot runs every case; each row checks what its case printed.
class TestKernelStage : public QObject
{
    Q_OBJECT

private:
    QString log(const QString &name) const { return m_logDirectory + "/" + name; }
    bool buildInitramfs(const QString &path, QString *error);
    bool kvmWorks();
    // An empty string once the guest has powered off, else what went wrong.
    QString runQemu(const QStringList &accelerator, const QString &extraArguments,
                    const QString &transcript, int seconds);
    void readTranscript();
    QByteArray diagnosis() const;

    QString m_logDirectory;
    QTemporaryDir m_scratch;
    Kernel m_kernel;
    QStringList m_modules;
    QProcess m_server;
    uint16_t m_port = 0;
    QByteArray m_setup;
    QMap<int, CaseResult> m_results;

private slots:
    void initTestCase();
    void cleanupTestCase();
    void guestCase_data();
    void guestCase();
};

void TestKernelStage::initTestCase()
{
    // Where the logs of the last run stay for a look after a failure.
    m_logDirectory = QCoreApplication::applicationDirPath() + "/kernelstage";
    QDir(m_logDirectory).removeRecursively();
    QVERIFY(QDir().mkpath(m_logDirectory + "/images"));
    QVERIFY(m_scratch.isValid());

    // A machine that cannot run the stage fails it: nothing here is optional.
    QVERIFY2(!QStandardPaths::findExecutable("qemu-system-x86_64").isEmpty(),
             "qemu-system-x86_64 not found: scripts/install-deps installs qemu-system-x86");
    QVERIFY2(QFileInfo::exists("/bin/busybox"),
             "/bin/busybox not found: scripts/install-deps installs busybox-static");
    m_kernel = findKernel();
    QVERIFY2(!m_kernel.image.isEmpty(), "no readable /boot/vmlinuz-* with its /lib/modules: "
                                        "scripts/install-deps installs linux-image-amd64");
    QString error;
    m_modules = modulesInLoadOrder(m_kernel.modules, &error);
    QVERIFY2(!m_modules.isEmpty(), qPrintable(error));

    QStringList serverArguments{"--images", log("images"), "--unplug", Unplugged};
    m_server.setStandardErrorFile(log("server.log"));
    m_server.start(USBIP_SERVER_PROGRAM, serverArguments + UsbIpConverters);
    QVERIFY2(m_server.waitForReadyRead(10000), "usbip-server did not start: see server.log");
    const QByteArray announced = m_server.readLine().trimmed();
    QVERIFY2(announced.startsWith("port "), announced.constData());
    m_port = uint16_t(announced.mid(5).toUInt());

    const QString initramfs = m_scratch.filePath("initramfs.cpio");
    QVERIFY2(buildInitramfs(initramfs, &error), qPrintable(error));

    const QStringList accelerator = kvmWorks() ? Kvm : Tcg;
    qInfo("kernel %s, %s", qPrintable(m_kernel.image), qPrintable(accelerator.at(1)));

    QElapsedTimer boot;
    boot.start();
    const QString failure = runQemu(accelerator, QString(), log("transcript.log"), BootSeconds);
    qInfo("the guest ran for %.1f s", boot.elapsed() / 1000.0);
    readTranscript();
    QVERIFY2(failure.isEmpty(), (failure.toLocal8Bit() + "\n" + diagnosis()).constData());
    QVERIFY2(m_setup.contains("converters ready"),
             ("not every converter got its tty\n" + diagnosis()).constData());
}

void TestKernelStage::cleanupTestCase()
{
    m_server.kill();
    m_server.waitForFinished();
}

bool TestKernelStage::buildInitramfs(const QString &path, QString *error)
{
    QByteArray init =
        QByteArray(GuestPreamble).replace("@CASE_SECONDS@", QByteArray::number(CaseSeconds));
    for (const QString &module : m_modules)
        init += "insmod /modules/" + QFileInfo(module).fileName().toLocal8Bit() + "\n";
    init += "ip link set lo up\n"
            "ip link set eth0 up\n"
            "ip addr add 10.0.2.15/24 dev eth0\n";
    for (int i = 0; i < UsbIpConverters.size(); ++i)
        init += QString("usbip-attach 10.0.2.2 %1 1-%2 %3\n")
                    .arg(m_port)
                    .arg(i + 1)
                    .arg(i)
                    .toLocal8Bit();
    const int converters = QemuConverters.size() + UsbIpConverters.size();
    init += "wait_for ttys_at_least " + QByteArray::number(converters) +
            " && echo 'converters ready'\n";
    for (const QString &serial : QemuConverters + UsbIpConverters)
        init += "echo \"" + serial.toLocal8Bit() + " $(tty_of " + serial.toLocal8Bit() + ")\"\n";
    for (size_t i = 0; i < Cases.size(); ++i)
        init += "run_case " + QByteArray::number(qulonglong(i)) + "\n";
    init += "echo '@@@ done'\n"
            "dmesg > /dev/ttyS0\n"
            "poweroff -f\n";

    Initramfs archive(path);
    bool built = archive.addDirectory("/tmp", 01777) && archive.addDirectory("/run/lock", 01777) &&
                 archive.addDirectory("/proc") && archive.addDirectory("/sys") &&
                 archive.addCharacterDevice("/dev/console", 5, 1) &&
                 archive.addFile("/etc/passwd", "root:x:0:0::/:/bin/sh\n"
                                                "user:x:1000:1000::/tmp:/bin/sh\n") &&
                 archive.addFile("/etc/group", "root:x:0:\nuser:x:1000:\n") &&
                 archive.addProgram("/bin/busybox", "/bin/busybox") &&
                 archive.addProgram("/bin/brennix", BRENNIX_PROGRAM) &&
                 archive.addProgram("/bin/usbip-attach", USBIP_ATTACH_PROGRAM) &&
                 archive.addFile("/helpers.sh", GuestHelpers) &&
                 archive.addFile("/init", init, 0755);
    for (const QString &module : m_modules)
        built = built && archive.addHostFile("/modules/" + QFileInfo(module).fileName(),
                                             m_kernel.modules + "/" + module, 0644);
    for (const QString &serial : UsbIpConverters)
        built = built && archive.addFile("/images/" + serial + ".bin", imageFor(serial));
    for (size_t i = 0; i < Cases.size(); ++i)
        built = built && archive.addFile(QString("/cases/%1.sh").arg(i), Cases[i].commands);
    built = built && archive.finish();
    *error = archive.errorString();
    return built;
}

// Only where a short boot shows that it works: nested KVM may abort, or hang.
bool TestKernelStage::kvmWorks()
{
    if (access("/dev/kvm", R_OK | W_OK) != 0)
        return false;
    const QString failure = runQemu(Kvm, "kernelstage=probe", log("probe.log"), ProbeSeconds);
    return failure.isEmpty() && tail(log("probe.log")).contains("@@@ probe");
}

QString TestKernelStage::runQemu(const QStringList &accelerator, const QString &extraArguments,
                                 const QString &transcript, int seconds)
{
    QStringList arguments = accelerator;
    arguments += {"-nodefaults", "-no-user-config", "-display", "none", "-no-reboot"};
    arguments += {"-m", "512", "-smp", "2"};
    arguments += {"-kernel", m_kernel.image, "-initrd", m_scratch.filePath("initramfs.cpio")};
    arguments += {"-append", "console=ttyS0 quiet panic=-1 " + extraArguments};
    // The kernel's console first, then the transcript of the cases.
    arguments += {"-serial", "file:" + log("console.log"), "-serial", "file:" + transcript};
    arguments +=
        {"-device", "qemu-xhci,id=xhci", "-netdev", "user,id=net", "-device", "e1000,netdev=net"};
    for (int i = 0; i < QemuConverters.size(); ++i) {
        const QString id = QString("converter%1").arg(i);
        arguments += {"-chardev", "null,id=" + id, "-device",
                      "usb-serial,bus=xhci.0,chardev=" + id + ",serial=" + QemuConverters[i] +
                          ",always-plugged=on"};
    }
    QProcess qemu;
    qemu.setProcessChannelMode(QProcess::MergedChannels);
    qemu.setStandardOutputFile(log("qemu.log"), QIODevice::Append);
    qemu.start("qemu-system-x86_64", arguments);
    if (!qemu.waitForStarted())
        return "qemu-system-x86_64 did not start: " + qemu.errorString();
    if (!qemu.waitForFinished(seconds * 1000)) {
        qemu.kill();
        qemu.waitForFinished();
        return QString("the guest did not power off within %1 s").arg(seconds);
    }
    if (qemu.exitStatus() != QProcess::NormalExit || qemu.exitCode() != 0)
        return QString("qemu-system-x86_64 failed with status %1").arg(qemu.exitCode());
    return QString();
}

void TestKernelStage::readTranscript()
{
    QFile file(log("transcript.log"));
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray transcript = file.readAll();
    m_setup = transcript.mid(transcript.indexOf("@@@ setup\n"));
    m_setup.truncate(m_setup.indexOf("@@@ case "));
    static const QRegularExpression section(
        "^@@@ case (\\d+) ([\\d.]+)\n(.*)\n@@@ status \\1 (\\d+) ([\\d.]+)$",
        QRegularExpression::MultilineOption | QRegularExpression::DotMatchesEverythingOption |
            QRegularExpression::InvertedGreedinessOption);
    for (auto match = section.globalMatch(QString::fromLatin1(transcript)); match.hasNext();) {
        const QRegularExpressionMatch found = match.next();
        CaseResult &result = m_results[found.captured(1).toInt()];
        result.output = found.captured(3).toLatin1();
        result.status = found.captured(4).toInt();
        result.seconds = found.captured(5).toDouble() - found.captured(2).toDouble();
    }
}

QByteArray TestKernelStage::diagnosis() const
{
    return "logs in " + m_logDirectory.toLocal8Bit() + "\n--- transcript:\n" +
           tail(log("transcript.log")) + "\n--- console:\n" + tail(log("console.log")) +
           "\n--- qemu:\n" + tail(log("qemu.log"), 10) + "\n--- server:\n" +
           tail(log("server.log"), 10);
}

void TestKernelStage::guestCase_data()
{
    QTest::addColumn<int>("index");
    for (size_t i = 0; i < Cases.size(); ++i)
        QTest::newRow(Cases[i].name) << int(i);
}

void TestKernelStage::guestCase()
{
    QFETCH(int, index);
    const GuestCase &expected = Cases[size_t(index)];
    QVERIFY2(m_results.contains(index),
             ("the guest never finished this case\n" + diagnosis()).constData());
    const CaseResult &result = m_results[index];
    qInfo("%.1f s", result.seconds);
    const QByteArray shown = "\n--- output:\n" + result.output;

    QVERIFY2(result.status == expected.status,
             ("exit status " + QByteArray::number(result.status) + shown).constData());
    int from = 0;
    for (const QByteArray &fragment : expected.expected) {
        const int found = result.output.indexOf(fragment, from);
        QVERIFY2(found >= 0, ("missing, or not in this order: " + fragment + shown).constData());
        from = found + fragment.size();
    }
    for (const QByteArray &fragment : expected.forbidden)
        QVERIFY2(!result.output.contains(fragment),
                 ("should not be there: " + fragment + shown).constData());
    for (const QString &serial : expected.flashed) {
        QFile image(log("images/" + serial + ".bin"));
        QVERIFY2(image.open(QIODevice::ReadOnly),
                 qPrintable("the bootloader of " + serial + " sent no verdict"));
        QVERIFY2(image.readAll() == imageFor(serial),
                 qPrintable("the bootloader of " + serial + " received another image"));
    }
}

QTEST_GUILESS_MAIN(TestKernelStage)
#include "tst_kernelstage.moc"
