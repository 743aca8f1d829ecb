#include "testsupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray simulatedMarker = "(simulated adapter: no hardware is used)";

struct ProgramRun
{
    QList<QByteArray> bannerLines; // the first two lines
    QByteArray output;             // everything after them
    QByteArray errors;             // standard error, where the flasher writes nothing
    int status = -1;
    qint64 elapsedMs = 0;
};

ProgramRun runProgram(const QString &program, const QStringList &arguments)
{
    ProgramRun run;
    QProcess process;
    QElapsedTimer elapsed;
    elapsed.start();
    process.start(program, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.elapsedMs = elapsed.elapsed();
    run.status = process.exitCode();
    run.errors = process.readAllStandardError();
    const QByteArray standardOutput = process.readAllStandardOutput();
    int lineStart = 0;
    for (int line = 0; line < 2; ++line) {
        const int lineEnd = standardOutput.indexOf('\n', lineStart);
        if (lineEnd < 0)
            return run;
        run.bannerLines.append(standardOutput.mid(lineStart, lineEnd - lineStart));
        lineStart = lineEnd + 1;
    }
    run.output = standardOutput.mid(lineStart);
    return run;
}

ProgramRun runSimulator(const QStringList &arguments)
{
    ProgramRun run = runProgram(QStringLiteral(BRENNIX_SIM_PROGRAM), arguments);
    // The simulated Moduna module's pseudo-terminal differs from run to run.
    run.output =
        QString::fromLatin1(run.output)
            .replace(QRegularExpression(QStringLiteral("/dev/pts/[0-9]+")), QStringLiteral("PTY"))
            .toLatin1();
    return run;
}

} // namespace

// brennix-sim as a user runs it: the real program's messages on simulated converters that
// take the time real ones take.
class TestBrennixSim : public QObject
{
    Q_OBJECT

private slots:
    void bannerIsTheProgramsOwnAndMarked();
    void quickJobs_data();
    void quickJobs();
    void flashesInRealTime_data();
    void flashesInRealTime();
};

void TestBrennixSim::bannerIsTheProgramsOwnAndMarked()
{
    const ProgramRun real = runProgram(QStringLiteral(BRENNIX_PROGRAM), {QStringLiteral("-h")});
    const ProgramRun simulated = runSimulator({QStringLiteral("-h")});
    QCOMPARE(real.bannerLines.size(), 2);
    QCOMPARE(simulated.bannerLines.size(), 2);
    QVERIFY(real.bannerLines.first().startsWith("Brennix V2_10 "));
    QCOMPARE(simulated.bannerLines.first(), real.bannerLines.first());
    QCOMPARE(simulated.bannerLines.at(1), simulatedMarker);
    QCOMPARE(simulated.output, TestSupport::help);
    QCOMPARE(simulated.status, 0);
}

void TestBrennixSim::quickJobs_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("status");

    const QByteArray HolderLine = "in use by minicom (pid 812) through /dev/ttyUSB1\n";
    QTest::newRow("listing") << QStringList{"-l"}
                             << QByteArray("Moduna: PTY (default)\n"
                                           "\n       2  FTDI devices found\n\n"
                                           " device | vendor | product | serial  | description\n"
                                           "--------|--------|---------|---------|----------------"
                                           "------\n"
                                           "   0    | 0x0403 | 0x6001  | SIM00001 | Simulated "
                                           "radio adapter\n"
                                           "failed to open FTDI device (1) status = 3\n\n" +
                                           HolderLine)
                             << 0;
    QTest::newRow("reset by index")
        << QStringList{"-d", "0", "-r"} << QByteArray("reset via FTDI\nSUCCESS\n") << 0;
    QTest::newRow("reset by serial number")
        << QStringList{"-sn", "SIM00001", "-r"} << QByteArray("reset via FTDI\nSUCCESS\n") << 0;
    QTest::newRow("reset of the held converter")
        << QStringList{"-d", "1", "-r"}
        << "reset via FTDI\nFTDI can't open device 1, status = 3\n" + HolderLine << 1;
    QTest::newRow("serial number of the held converter")
        << QStringList{"-sn", "SIM00002", "-r"}
        << HolderLine + "invalid serial number parameter SIM00002\n"
        << 1;
    QTest::newRow("reset of the Moduna module")
        << QStringList{"-gpio", "sim:0", "-r"}
        << QByteArray("no device specified use Moduna (PTY)\nreset via GPIO sim:0\nSUCCESS\n") << 0;
    QTest::newRow("GPIO line with a converter")
        << QStringList{"-sn", "SIM00001", "-gpio", "sim:0", "-r"}
        << QByteArray(
               "-gpio is for the Moduna module: an FTDI converter resets its adapter itself\n")
        << 1;
}

void TestBrennixSim::quickJobs()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, output);
    QFETCH(int, status);
    const ProgramRun run = runSimulator(arguments);
    QCOMPARE(run.bannerLines.value(1), simulatedMarker);
    QCOMPARE(run.output, output);
    QCOMPARE(run.errors, QByteArray());
    QCOMPARE(run.status, status);
}

void TestBrennixSim::flashesInRealTime_data()
{
    QTest::addColumn<QStringList>("device");
    QTest::addColumn<QByteArray>("chosen"); // printed before the firmware file
    QTest::addColumn<QByteArray>("reset");
    QTest::newRow("FTDI converter")
        << QStringList{"-d", "0"} << QByteArray() << QByteArray("reset via FTDI\n");
    QTest::newRow("Moduna module")
        << QStringList{"-gpio", "sim:0"} << QByteArray("no device specified use Moduna (PTY)\n")
        << QByteArray("reset via GPIO sim:0\n");
}

void TestBrennixSim::flashesInRealTime()
{
    QFETCH(QStringList, device);
    QFETCH(QByteArray, chosen);
    QFETCH(QByteArray, reset);
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    QByteArray image(1024, '\0');
    for (int i = 0; i < image.size(); ++i)
        image[i] = char(i * 13 + 7);
    const QString path =
        TestSupport::writeFile(directory.filePath(QStringLiteral("firmware.bin")), image);

    const ProgramRun run = runSimulator(device + QStringList{"-f", path});

    // One wake-up attempt; four blocks and the empty final block give five progress marks;
    // the bootloader checks the image long enough for one verification dot.
    QCOMPARE(run.output, chosen + "using firmware file: " + path.toLocal8Bit() + " \n" + reset +
                             "\n"
                             "flashing 1024 bytes: |======|\n"
                             "verify: .\n"
                             "SUCCESS\n");
    QCOMPARE(run.errors, QByteArray());
    QCOMPARE(run.status, 0);
    // The flasher's own pauses (reset pulse and recovery, 50 ms after opening, 200 ms
    // after the wake-up, 100 ms and 200 ms around the descriptor, 200 ms after the last
    // block, 500 ms before the verdict) and the image's wire time at 38400 baud; without
    // real-time pacing the run would take a few milliseconds of that.
    const qint64 pausesMs = 200 + 20 + 50 + 200 + 100 + 200 + 200 + 500;
    const qint64 wireMs = image.size() * 10 * 1000 / 38400;
    QVERIFY2(run.elapsedMs >= pausesMs + wireMs, qPrintable(QString::number(run.elapsedMs)));
}

QTEST_GUILESS_MAIN(TestBrennixSim)
#include "tst_brennixsim.moc"
