#include "d2xx.h"

#include <QtTest>

#include <functional>

// What the libftdi1 implementation does without a converter attached, which is all that
// a machine without hardware can check.
class TestD2xxLibftdi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void countIsZeroWithoutConverters();
    void emptyDeviceInfoList();
    void openFailsWithoutConverter_data();
    void openFailsWithoutConverter();
    void invalidHandleIsRejected_data();
    void invalidHandleIsRejected();

private:
    using Call = std::function<FT_STATUS(FT_HANDLE)>;
};

Q_DECLARE_METATYPE(std::function<FT_STATUS(FT_HANDLE)>)

void TestD2xxLibftdi::initTestCase()
{
    uint32_t count = 0;
    QCOMPARE(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    if (count > 0)
        QSKIP("FTDI converters are attached; these tests expect none");
}

void TestD2xxLibftdi::countIsZeroWithoutConverters()
{
    uint32_t count = 99;
    QCOMPARE(FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY), FT_OK);
    QCOMPARE(count, 0u);

    count = 99;
    QCOMPARE(FT_CreateDeviceInfoList(&count), FT_OK);
    QCOMPARE(count, 0u);

    QCOMPARE(FT_CreateDeviceInfoList(nullptr), FT_INVALID_PARAMETER);
    QCOMPARE(FT_ListDevices(nullptr, nullptr, FT_LIST_NUMBER_ONLY), FT_INVALID_PARAMETER);
    QCOMPARE(FT_ListDevices(&count, nullptr, 0), FT_NOT_SUPPORTED);
}

void TestD2xxLibftdi::emptyDeviceInfoList()
{
    uint32_t count = 0;
    QCOMPARE(FT_CreateDeviceInfoList(&count), FT_OK);

    FT_DEVICE_LIST_INFO_NODE nodes[2] = {};
    uint32_t capacity = 2;
    QCOMPARE(FT_GetDeviceInfoList(nodes, &capacity), FT_OK);
    QCOMPARE(capacity, 0u);

    capacity = 0;
    QCOMPARE(FT_GetDeviceInfoList(nullptr, &capacity), FT_OK);
    QCOMPARE(capacity, 0u);

    capacity = 1;
    QCOMPARE(FT_GetDeviceInfoList(nullptr, &capacity), FT_INVALID_PARAMETER);
    QCOMPARE(FT_GetDeviceInfoList(nodes, nullptr), FT_INVALID_PARAMETER);

    uint32_t flags = 0;
    QCOMPARE(
        FT_GetDeviceInfoDetail(0, &flags, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
        FT_DEVICE_NOT_FOUND);
}

void TestD2xxLibftdi::openFailsWithoutConverter_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("first") << 0;
    QTest::newRow("far") << 1000;
    QTest::newRow("negative") << -1;
}

void TestD2xxLibftdi::openFailsWithoutConverter()
{
    QFETCH(int, index);
    FT_HANDLE handle = reinterpret_cast<FT_HANDLE>(0x1234);
    QCOMPARE(FT_Open(index, &handle), FT_DEVICE_NOT_FOUND);
    QCOMPARE(handle, nullptr);
    QCOMPARE(FT_Open(index, nullptr), FT_INVALID_PARAMETER);
}

void TestD2xxLibftdi::invalidHandleIsRejected_data()
{
    QTest::addColumn<Call>("call");
    QTest::newRow("close") << Call(FT_Close);
    QTest::newRow("time-outs") << Call([](FT_HANDLE h) { return FT_SetTimeouts(h, 5000, 1000); });
    QTest::newRow("baud rate") << Call([](FT_HANDLE h) { return FT_SetBaudRate(h, 38400); });
    QTest::newRow("latency") << Call([](FT_HANDLE h) { return FT_SetLatencyTimer(h, 8); });
    QTest::newRow("8N1") << Call([](FT_HANDLE h) {
        return FT_SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE);
    });
    QTest::newRow("bit mode") << Call(
        [](FT_HANDLE h) { return FT_SetBitMode(h, 0xF1, FT_BITMODE_CBUS_BITBANG); });
    QTest::newRow("write") << Call([](FT_HANDLE h) {
        const uint8_t bytes[4] = {};
        uint32_t written;
        return FT_Write(h, bytes, sizeof bytes, &written);
    });
    QTest::newRow("read") << Call([](FT_HANDLE h) {
        uint8_t buffer[4];
        uint32_t received;
        return FT_Read(h, buffer, sizeof buffer, &received);
    });
    QTest::newRow("queue status") << Call([](FT_HANDLE h) {
        uint32_t waiting;
        return FT_GetQueueStatus(h, &waiting);
    });
    QTest::newRow("status") << Call([](FT_HANDLE h) {
        uint32_t received, transmit, event;
        return FT_GetStatus(h, &received, &transmit, &event);
    });
}

void TestD2xxLibftdi::invalidHandleIsRejected()
{
    QFETCH(Call, call);
    QCOMPARE(call(nullptr), FT_INVALID_HANDLE);
    // A handle that FT_Open never gave out must not be dereferenced.
    int notADevice = 0;
    QCOMPARE(call(&notADevice), FT_INVALID_HANDLE);
}

QTEST_GUILESS_MAIN(TestD2xxLibftdi)
#include "tst_d2xxlibftdi.moc"
