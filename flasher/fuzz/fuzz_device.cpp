// What devices do, fed to whole runs of the flasher through its own D2XX back end, Debian's
// libftdi1 and FT232R chips on the simulated USB bus, on the virtual clock. The input
// chooses one to three converters (descriptor strings of any bytes, who holds them, the
// port they are plugged into, the latency another program left set, how many bytes their
// packets carry, the replies and pauses of the bootloader behind them), the job (flash a
// small image, reset or list; -d N or -sn SERIAL; -lat), transfers that the USB link
// spoils, and the libusb call before which one converter is pulled out.
//
// Input: the fields of Scenario, read one after the other by scenarioOf(); an input that
// runs out reads zeros from there on, which stand for the ordinary choices.
//
// What must hold: the run ends within the virtual time that the flasher's own limits
// allow, with exit status 0 or 1; every libusb handle is closed, every converter still
// plugged in is released (not claimed, its kernel driver bound as before) and no adapter
// is held in reset, unless the link refused two requests to release it; only the
// converter that -d or -sn named is opened, reset or written to, and none by a listing;
// a flash exits 0 only when that converter's bootloader has received the image byte for
// byte, a reset only when its adapter was reset; and no control character that a device
// sent reaches the terminal.

#include "brennix.h"
#include "fuzzsupport.h"
#include "simulatedusb.h"
#include "virtualclock.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QtEndian>

#include <algorithm>
#include <iterator>
#include <vector>

namespace {

using FuzzSupport::MemoryFile;
using FuzzSupport::OutputCapture;
using FuzzSupport::require;

constexpr uint32_t ImageSizes[] = {200, 512, 700, 0};
constexpr uint32_t HeaderMagic = 0xCAFEFEED;
constexpr int HeaderSize = 14;
constexpr int DescriptorLength = 10;
constexpr int MaximumConverters = 3;
constexpr int Ports = 8;
// Beyond the 16 and 64 bytes of the vendor's fields.
constexpr int MaximumSerialLength = 20;
constexpr int MaximumDescriptionLength = 70;
constexpr int MaximumReplies = 3;
// Long enough that the reply text of a few attempts outgrows what the flasher keeps.
constexpr int MaximumReplyLength = 254;
constexpr int MaximumFaults = 8;
constexpr int MaximumShortWritePackets = 4;
// What the serial number field of the vendor's device list keeps.
constexpr int ListedSerialLength = 15;

// The longest run that the flasher's limits allow, in the virtual clock's microseconds.
constexpr qint64 Millisecond = 1000;
// Every call of libusb waits at most for the next 1 ms frame, or ends a wait of the
// flasher up to a millisecond late; the bulk writes' wire time is counted apart.
constexpr qint64 CallAllowance = Millisecond;
// Ten bits at 9600 baud: libftdi1 opens a converter at that rate, and a converter that
// refuses the flasher's 38400 stays there.
constexpr qint64 ByteOnWire = 1042;
// libftdi1's own time-out; the flasher sets a shorter one.
constexpr qint64 WriteTimeout = 5000 * Millisecond;
constexpr qint64 ResetAndSettle = (200 + 20 + 50) * Millisecond;
constexpr int WakeUpAttempts = 16;
// A pause, the wait for the reply and for the rest of a keyword.
constexpr qint64 WakeUpAttempt = (200 + 1000 + 10 * 20) * Millisecond;
constexpr qint64 Describing = (100 + 200) * Millisecond;
constexpr qint64 RequestByteWait = 2000 * 5 * Millisecond;
constexpr qint64 Verifying = (200 + 256 * 100 + 500 + 1000) * Millisecond;
// The flasher's lines that mark the phases a run reached. A device that sends the same text
// only makes the bound looser.
const QByteArray RetryLine = "error: something went wrong, retry\n";
const QByteArray DescriptorLine = "flashing ";
const QByteArray VerificationLine = "verify: ";

enum class Job
{
    Flash,
    Reset,
    List
};

// The input, field by field; past its end every field reads 0.
class InputReader
{
public:
    InputReader(const uint8_t *data, std::size_t size) : m_data(data), m_size(size) {}

    int byte() { return m_position < m_size ? m_data[m_position++] : 0; }

    int word()
    {
        const int low = byte();
        return low | byte() << 8;
    }

    // A length below `limit`, then that many bytes.
    QByteArray text(int limit)
    {
        QByteArray bytes;
        for (int length = byte() % limit; length > 0; --length)
            bytes += char(byte());
        return bytes;
    }

    // d² ms for the byte d, so that small delays are fine-grained and the largest (65 s)
    // outlasts every wait of the flasher.
    int delayMs()
    {
        const int root = byte();
        return root * root;
    }

private:
    const uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_position = 0;
};

struct ConverterSetup
{
    ChipIdentity identity;
    int latencyTimerMs = 0; // 0: the chip's default
    int payloadLimit = 0;   // 0: full packets
    BootloaderScript script;
    LinkFaults faults;
};

struct Scenario
{
    Job job = Job::Flash;
    bool bySerial = false;
    int number = 0;  // -d's number, or the converter whose serial number -sn gives
    int latency = 0; // 0: no -lat
    uint32_t imageSize = 0;
    std::vector<ConverterSetup> converters;
    int unplugged = -1; // the converter pulled out, if any
    qint64 unplugCall = 0;
};

// A run makes a few dozen requests and writes, but ends a read every latency period.
void readFaults(InputReader &input, LinkFaults &faults)
{
    for (int count = input.byte() % (MaximumFaults + 1); count > 0; --count) {
        const int kind = input.byte() % 3;
        if (kind == 0) {
            faults.stalledRequests.insert(input.byte());
        } else if (kind == 1) {
            const int write = input.byte();
            faults.shortWrites[write] = input.byte() % MaximumShortWritePackets;
        } else {
            faults.failedReads.insert(input.word());
        }
    }
}

ConverterSetup readConverter(InputReader &input, bool portTaken[])
{
    ConverterSetup setup;
    const int flags = input.byte();
    setup.identity.holder = ConverterHolder((flags & 7) % 5);
    setup.identity.accessDenied = flags & 0x08;
    setup.script.sendEndOfVerification = !(flags & 0x10);
    int port = 1 + input.byte() % Ports;
    while (portTaken[port])
        port = port % Ports + 1;
    portTaken[port] = true;
    setup.identity.port = port;
    setup.latencyTimerMs = input.byte();
    setup.payloadLimit = input.byte();
    setup.identity.serialNumber = input.text(MaximumSerialLength + 1);
    setup.identity.description = input.text(MaximumDescriptionLength + 1);
    if (const int replies = input.byte() % (MaximumReplies + 1)) {
        setup.script.wakeUpReplies.clear();
        for (int i = 0; i < replies; ++i)
            setup.script.wakeUpReplies.append(input.text(MaximumReplyLength + 1));
    }
    setup.script.replyDelayMs = input.delayMs();
    setup.script.firstRequestDelayMs = input.delayMs();
    setup.script.requestDelayMs = input.delayMs();
    setup.script.verifyDurationMs = input.delayMs();
    readFaults(input, setup.faults);
    return setup;
}

Scenario scenarioOf(InputReader &input)
{
    Scenario scenario;
    const int job = input.byte();
    scenario.job = job % 8 == 6 ? Job::List : job % 8 == 7 ? Job::Reset : Job::Flash;
    scenario.bySerial = job & 0x08;
    scenario.number = job >> 4 & 3;
    if (const int latency = input.byte())
        scenario.latency = 2 + (latency - 1) % 127;
    scenario.imageSize = ImageSizes[input.byte() % std::size(ImageSizes)];
    const int count = 1 + input.byte() % MaximumConverters;
    bool portTaken[Ports + 1] = {};
    for (int i = 0; i < count; ++i)
        scenario.converters.push_back(readConverter(input, portTaken));
    if (const int unplug = input.byte()) {
        scenario.unplugged = (unplug - 1) % count;
        scenario.unplugCall = input.word();
    }
    return scenario;
}

// A small image as the flasher gets it: a firmware file with a header, in memory.
class TestImage
{
public:
    explicit TestImage(uint32_t size)
        : m_image(int(size), '\0'), m_descriptor(DescriptorLength, '\0')
    {
        for (int i = 0; i < m_image.size(); ++i)
            m_image[i] = char((i * 13 + i / 256) & 0xFF);
        const char crc = char(BootloaderEmulator::crc8(m_image));
        qToLittleEndian<uint32_t>(size, m_descriptor.data());
        m_descriptor[9] = crc; // type 0 at target address 0

        QByteArray file(HeaderSize, '\0');
        qToLittleEndian<uint32_t>(HeaderMagic, file.data());
        qToLittleEndian<uint32_t>(size, file.data() + 9);
        file[13] = crc;
        file += m_image;
        m_file.replaceContent(file.constData(), size_t(file.size()));
    }

    const QString &path() const { return m_file.path(); }
    const QByteArray &image() const { return m_image; }
    const QByteArray &descriptor() const { return m_descriptor; }

private:
    QByteArray m_image;
    QByteArray m_descriptor;
    MemoryFile m_file;
};

const TestImage &imageOf(uint32_t size)
{
    static const TestImage images[] = {TestImage(ImageSizes[0]), TestImage(ImageSizes[1]),
                                       TestImage(ImageSizes[2]), TestImage(ImageSizes[3])};
    return *std::find_if(std::begin(images), std::end(images), [size](const TestImage &image) {
        return image.image().size() == int(size);
    });
}

// The serial number as the vendor's device list holds it: what libusb read into its field.
QByteArray listedSerial(const ChipIdentity &identity)
{
    const QByteArray field = identity.serialNumber.left(ListedSerialLength);
    return field.left(field.indexOf('\0') < 0 ? field.size() : field.indexOf('\0'));
}

// The serial number that -sn gives: the named converter's, or one that no converter was
// made with.
QByteArray serialArgument(const Scenario &scenario)
{
    if (scenario.number >= int(scenario.converters.size()))
        return "FT000000";
    return listedSerial(scenario.converters[size_t(scenario.number)].identity);
}

QStringList argumentsOf(const Scenario &scenario, const QString &serial, const QString &imagePath)
{
    if (scenario.job == Job::List)
        return {"-l"};
    QStringList arguments;
    if (scenario.latency != 0)
        arguments << "-lat" << QString::number(scenario.latency);
    if (scenario.bySerial)
        arguments << "-sn" << serial;
    else
        arguments << "-d" << QString::number(scenario.number);
    if (scenario.job == Job::Reset)
        arguments << "-r";
    else
        arguments << "-f" << imagePath;
    return arguments;
}

// Whether the flasher may open the converter: nobody holds it, and the user may.
bool isFree(const ChipIdentity &identity)
{
    const bool held = identity.holder != ConverterHolder::Nobody &&
                      identity.holder != ConverterHolder::StaleTtyLock;
    return !held && !identity.accessDenied;
}

// The converter that -d or -sn names among these, or -1.
int namedAmong(const Scenario &scenario, const QByteArray &serial,
               const std::vector<int> &converters)
{
    if (!scenario.bySerial)
        return scenario.number < int(converters.size()) ? converters[size_t(scenario.number)] : -1;
    for (const int index : converters) {
        const ChipIdentity &identity = scenario.converters[size_t(index)].identity;
        if (isFree(identity) && listedSerial(identity) == serial)
            return index;
    }
    return -1;
}

// The converters that -d or -sn may name: the one it names among all, in the order of
// their ports, and, when one is pulled out, the one it names among the others, since the
// flasher may first look after that.
std::vector<int> namedConverters(const Scenario &scenario, const QByteArray &serial)
{
    std::vector<int> byPort(scenario.converters.size());
    for (size_t i = 0; i < byPort.size(); ++i)
        byPort[i] = int(i);
    std::sort(byPort.begin(), byPort.end(), [&scenario](int a, int b) {
        return scenario.converters[size_t(a)].identity.port <
               scenario.converters[size_t(b)].identity.port;
    });
    std::vector<int> named{namedAmong(scenario, serial, byPort)};
    byPort.erase(std::remove(byPort.begin(), byPort.end(), scenario.unplugged), byPort.end());
    named.push_back(namedAmong(scenario, serial, byPort));
    return named;
}

// Whether the text holds nothing that a terminal obeys: no control character but line
// ends ("\n", or "\r\n"), no DEL, and no C1 control encoded in UTF-8.
bool isInert(const QByteArray &text)
{
    for (int i = 0; i < text.size(); ++i) {
        const auto byte = uint8_t(text[i]);
        const auto next = i + 1 < text.size() ? uint8_t(text[i + 1]) : 0;
        const bool lineEnd = byte == '\n' || (byte == '\r' && next == '\n');
        const bool c1 = byte == 0xC2 && next >= 0x80 && next <= 0x9F;
        if ((byte < 0x20 && !lineEnd) || byte == 0x7F || c1)
            return false;
    }
    return true;
}

qint64 longestRun(SimulatedUsb &usb, const Scenario &scenario, const QByteArray &printed)
{
    qint64 toHost = 0;
    qint64 fromHost = 0;
    qint64 shortWrites = 0;
    for (int i = 0; i < usb.converterCount(); ++i) {
        toHost += usb.converter(i).bytesToHost();
        fromHost += usb.converter(i).bytesFromHost();
        shortWrites += qint64(scenario.converters[size_t(i)].faults.shortWrites.size());
    }
    qint64 longest = (1 + printed.count(RetryLine)) * ResetAndSettle +
                     WakeUpAttempts * WakeUpAttempt + usb.callCount() * CallAllowance +
                     fromHost * ByteOnWire + shortWrites * WriteTimeout;
    // The block service may wait once more after the last byte it read before it gives up.
    if (printed.contains(DescriptorLine))
        longest += Describing + (toHost + 1) * RequestByteWait;
    if (printed.contains(VerificationLine))
        longest += Verifying;
    return longest;
}

void checkReleased(SimulatedUsb &usb)
{
    for (int i = 0; i < usb.converterCount(); ++i) {
        SimulatedChip &chip = usb.converter(i);
        require(chip.openHandles() == 0, "every libusb handle is closed at the end");
        if (!chip.isPlugged())
            continue;
        require(!chip.isClaimed(), "no converter stays claimed");
        require(chip.isDriverBound() == (chip.identity().holder != ConverterHolder::UsbClaim),
                "every converter has its kernel driver as before");
        // A request to release it that the link refuses is made again before the flasher
        // gives up.
        require(!chip.isAdapterHeldInReset() || chip.refusedReleases() >= 2,
                "no adapter is held in reset");
    }
}

// Opened through libftdi1 (which resets the chip), reset through CBUS, or written to.
bool isTouched(SimulatedChip &chip)
{
    return chip.resetCount() > 0 || chip.bootloader().startCount() > 0 || chip.bytesFromHost() > 0;
}

void checkOutcome(SimulatedUsb &usb, const Scenario &scenario, const QByteArray &serial, int status)
{
    std::vector<int> touched;
    for (int i = 0; i < usb.converterCount(); ++i) {
        if (isTouched(usb.converter(i)))
            touched.push_back(i);
    }
    require(touched.size() <= 1, "at most one converter is opened, reset or written to");
    if (scenario.job == Job::List) {
        require(touched.empty(), "a listing opens, resets and writes to no converter");
        return;
    }
    const std::vector<int> named = namedConverters(scenario, serial);
    require(touched.empty() ||
                std::find(named.begin(), named.end(), touched.front()) != named.end(),
            "only the converter that -d or -sn named is opened, reset or written to");
    if (status != 0)
        return;
    require(!touched.empty(), "a job that succeeds has used a converter");
    const BootloaderEmulator &bootloader = usb.converter(touched.front()).bootloader();
    if (scenario.job == Job::Reset) {
        require(bootloader.startCount() > 0, "a reset that succeeds has reset the adapter");
        return;
    }
    const TestImage &image = imageOf(scenario.imageSize);
    require(bootloader.descriptorBytes() == image.descriptor() &&
                bootloader.image() == image.image(),
            "a flash that succeeds has brought the image to the bootloader byte for byte");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_device";
    static char *argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    static OutputCapture output;
    // A Moduna module of this machine would join the listing.
    setModunaPaths({QString(), QString()});

    InputReader input(data, size);
    const Scenario scenario = scenarioOf(input);
    const QByteArray serial = serialArgument(scenario);
    const QString serialText = QString::fromLocal8Bit(serial);
    const QStringList arguments =
        argumentsOf(scenario, serialText, imageOf(scenario.imageSize).path());

    VirtualClock clock;
    SimulatedUsb usb(clock);
    for (const ConverterSetup &setup : scenario.converters) {
        SimulatedChip &chip = usb.addConverter(setup.identity);
        chip.bootloader().script() = setup.script;
        if (setup.latencyTimerMs != 0)
            chip.settings().latencyTimerMs = uint8_t(setup.latencyTimerMs);
        if (setup.payloadLimit != 0)
            chip.setPacketPayloadLimit(setup.payloadLimit);
        chip.linkFaults() = setup.faults;
    }
    if (scenario.unplugged >= 0)
        usb.atCall(scenario.unplugCall, [&usb, &scenario] { usb.unplug(scenario.unplugged); });

    // A Brennix starts a single-shot timer for its run() slot, which never fires here: the
    // timer's object, a child of the event dispatcher, goes with it, so that no input leaves
    // memory behind.
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    const QObjectList idle = dispatcher->children();
    int status = -1;
    QByteArray printed;
    {
        Brennix brennix;
        output.begin();
        status = brennix.execute(arguments);
        printed = output.end();
    }
    for (QObject *child : dispatcher->children()) {
        if (!idle.contains(child))
            delete child;
    }

    require(status == 0 || status == 1, "the exit status is 0 or 1");
    require(clock.now() < longestRun(usb, scenario, printed),
            "the run ends within the flasher's limits");
    checkReleased(usb);
    // What the user typed comes back as typed.
    const QByteArray typed = serialText.toLocal8Bit();
    const QByteArray untyped =
        scenario.bySerial && !typed.isEmpty() ? QByteArray(printed).replace(typed, "") : printed;
    require(isInert(untyped), "no control character of a device reaches the terminal");
    checkOutcome(usb, scenario, typed, status);
    return 0;
}
