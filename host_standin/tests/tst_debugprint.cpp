#include <halvik.h>

#include <QTemporaryFile>
#include <QtTest>

#include <cstdio>
#include <unistd.h>

namespace {

struct Printed
{
    int level;
    QByteArray text;
};
QList<Printed> printed;

void capture(int level, const char *text)
{
    printed << Printed{level, text};
}

// Runs print with standard output sent to a file and returns what reached the file
// without any flush after print.
template <typename Print> QByteArray stdoutOf(Print print)
{
    QTemporaryFile file;
    if (!file.open())
        return "cannot open temporary file";
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(file.handle(), STDOUT_FILENO);
    print();
    dup2(saved, STDOUT_FILENO);
    close(saved);
    // A separate reader: the shared descriptor's offset now stands at the end.
    QFile reader(file.fileName());
    return reader.open(QIODevice::ReadOnly) ? reader.readAll() : "cannot read temporary file";
}

} // namespace

class TestDebugPrint : public QObject
{
    Q_OBJECT

private slots:
    void init() { printed.clear(); }
    void cleanup() { Halvik::setDebugPrintHandler(nullptr); }
    void handlerReceivesFormattedText();
    void handlerReceivesLongText();
    void nullFormatPrintsNothing();
    void settingReturnsThePreviousHandler();
    void writesUnchangedAndFlushedToStandardOutput();
};

void TestDebugPrint::handlerReceivesFormattedText()
{
    Halvik::setDebugPrintHandler(capture);
    DBG_Printf(1, "watch: %s\n", "/srv/app-src");
    DBG_Printf(2, "%d%%, 0x%04X", 42, 0xBEEF);

    QCOMPARE(printed.size(), 2);
    QCOMPARE(printed[0].level, 1);
    QCOMPARE(printed[0].text, QByteArray("watch: /srv/app-src\n"));
    QCOMPARE(printed[1].level, 2);
    QCOMPARE(printed[1].text, QByteArray("42%, 0xBEEF"));
}

void TestDebugPrint::handlerReceivesLongText()
{
    Halvik::setDebugPrintHandler(capture);
    const QByteArray path(20000, 'p');
    DBG_Printf(1, "%s changed\n", path.constData());
    QCOMPARE(printed.size(), 1);
    QCOMPARE(printed[0].text, path + " changed\n");
}

void TestDebugPrint::nullFormatPrintsNothing()
{
    Halvik::setDebugPrintHandler(capture);
    const char *noFormat = nullptr;
    // A null format is exactly the misuse under test.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    DBG_Printf(1, noFormat);
#pragma GCC diagnostic pop
    QVERIFY(printed.isEmpty());
}

void TestDebugPrint::settingReturnsThePreviousHandler()
{
    QVERIFY(Halvik::setDebugPrintHandler(capture) == nullptr);
    QVERIFY(Halvik::setDebugPrintHandler(nullptr) == capture);
    DBG_Printf(1, "after removal\n");
    QVERIFY(printed.isEmpty());
}

void TestDebugPrint::writesUnchangedAndFlushedToStandardOutput()
{
    const QByteArray written = stdoutOf([] { DBG_Printf(1, "templates %s\n", "timer released"); });
    QCOMPARE(written, QByteArray("templates timer released\n"));
}

QTEST_GUILESS_MAIN(TestDebugPrint)
#include "tst_debugprint.moc"
