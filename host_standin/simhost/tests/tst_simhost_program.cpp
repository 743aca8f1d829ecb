#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs the simulated host without any display, as on a build server.
Run runSimHost(const QStringList &arguments, const QString &workingDirectory = QString())
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(SIMHOST_PATH), arguments);
    Run run;
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.exitCode = process.exitCode();
    run.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.err = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

} // namespace

class TestSimHostProgram : public QObject
{
    Q_OBJECT

private slots:
    void headlessSignalTest_data();
    void headlessSignalTest();
    void refusesBadArguments_data();
    void refusesBadArguments();
    void printsHelp();
    void savesScreenshots();
    void headlessWebAppRebuilds();
};

void TestSimHostProgram::headlessSignalTest_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("header");
    QTest::newRow("ondrel broadcast") << QStringList{"--plugin", "ondrel", "--node", "2"}
                                      << "Ondrel Plugin: node 2 (0x00212effff051a02, nwk 0x5b21)";
    QTest::newRow("ondrel unicast")
        << QStringList{"--plugin", "ondrel", "--node", "1", "--mode", "unicast", "--delay", "50"}
        << "Ondrel Plugin: node 1 (0x00212effff051a01, nwk 0x1f3a)";
    QTest::newRow("kal") << QStringList{"--plugin", "kal", "--node", "4"}
                         << "Signal Monitor Plugin: node 4 (0x00212effff051a04, nwk 0x9e6d)";
}

void TestSimHostProgram::headlessSignalTest()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, header);
    const Run run =
        runSimHost(QStringList{"--headless", "--seconds", "1.5", "--seed", "5"} + arguments);
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY2(run.out.contains(header), qPrintable(run.out));

    const QRegularExpression figures(
        QStringLiteral("^t=(\\d+\\.\\d)s  Send (\\d+) packets  RSSI (-?\\d+)  LQI (\\d+)$"),
        QRegularExpression::MultilineOption);
    QStringList times;
    int lastCount = 0;
    int rssi = 0;
    int lqi = 0;
    for (auto match = figures.globalMatch(run.out); match.hasNext();) {
        const QRegularExpressionMatch line = match.next();
        times << line.captured(1);
        QVERIFY2(line.captured(2).toInt() >= lastCount, "the count never goes back");
        lastCount = line.captured(2).toInt();
        rssi = line.captured(3).toInt();
        lqi = line.captured(4).toInt();
    }
    QCOMPARE(times, QStringList({"0.5", "1.0", "1.5"}));
    QVERIFY2(lastCount > 0, qPrintable(run.out));
    // The dialog starts at RSSI 0 and LQI 0; the node's frames lie in these ranges.
    QVERIFY2(rssi >= -90 && rssi <= -30 && lqi >= 60 && lqi <= 255, qPrintable(run.out));
    QVERIFY2(
        run.out.contains(QStringLiteral("\nfinal  Stopped  RSSI %1  LQI %2\n").arg(rssi).arg(lqi)),
        qPrintable(run.out));

    const QRegularExpression host(QStringLiteral(
        "host: (\\d+) requests received, (\\d+) confirms sent \\((\\d+) successful\\)"));
    const QRegularExpressionMatch totals = host.match(run.out);
    QVERIFY2(totals.hasMatch(), qPrintable(run.out));
    QVERIFY(totals.captured(1).toInt() >= lastCount);
    QVERIFY(totals.captured(2).toInt() >= lastCount);
}

void TestSimHostProgram::refusesBadArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << "Unknown option 'bogus'";
    QTest::newRow("positional") << QStringList{"extra"} << 2 << "unexpected argument extra";
    QTest::newRow("headless without a job")
        << QStringList{"--headless"} << 2 << "--headless needs --plugin NAME or --webapp DIR";
    QTest::newRow("test option without headless")
        << QStringList{"--plugin", "kal"} << 2 << "--plugin goes with --headless";
    QTest::newRow("node not a number")
        << QStringList{"--headless", "--plugin", "kal", "--node", "x"} << 2 << "--node needs";
    QTest::newRow("node beyond the list")
        << QStringList{"--headless", "--plugin", "kal", "--node", "6"} << 2
        << "--node needs a node number from 1 to 5";
    QTest::newRow("delay out of range")
        << QStringList{"--headless", "--plugin", "ondrel", "--delay", "5"} << 2 << "--delay needs";
    QTest::newRow("unknown mode") << QStringList{"--headless", "--plugin", "ondrel", "--mode", "x"}
                                  << 2 << "--mode needs one of";
    QTest::newRow("mode the dialog lacks")
        << QStringList{"--headless", "--plugin", "kal", "--mode", "all"} << 2
        << "the Signal Monitor Plugin dialog has no mode all";
    QTest::newRow("group with another mode")
        << QStringList{"--headless", "--plugin", "ondrel", "--mode", "all", "--group", "1"} << 2
        << "--group goes with --mode group";
    QTest::newRow("success rate above 100")
        << QStringList{"--success-rate", "101"} << 2 << "--success-rate needs";
    QTest::newRow("seconds too short")
        << QStringList{"--headless", "--plugin", "kal", "--seconds", "0"} << 2 << "--seconds needs";
    QTest::newRow("touch without web app")
        << QStringList{"--headless", "--plugin", "kal", "--touch", "x.html"} << 2
        << "--touch goes with --webapp";
    QTest::newRow("missing plug-in") << QStringList{"--headless", "--plugin", "nope"} << 1
                                     << "no plug-in \"nope\" loaded (found: kal_signal, ondrel";
    QTest::newRow("missing plug-in directory")
        << QStringList{"--headless", "--plugin", "kal", "--plugins", "/nonexistent"} << 1
        << "no plug-in directory /nonexistent";
}

void TestSimHostProgram::refusesBadArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    const Run run = runSimHost(arguments);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.err.contains(QStringLiteral("halvik-simhost: ") + message), qPrintable(run.err));
    QVERIFY2(!run.out.contains(QLatin1String("t=")), qPrintable(run.out));
}

void TestSimHostProgram::printsHelp()
{
    const Run run = runSimHost({"--help"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.out.startsWith(QLatin1String("Usage: halvik-simhost [options]\n")));
    for (const char *option : {"--plugins", "--webapp", "--seed", "--latency", "--success-rate",
                               "--screenshot", "--headless", "--touch"})
        QVERIFY2(run.out.contains(QLatin1String(option)), option);
}

void TestSimHostProgram::savesScreenshots()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const Run run = runSimHost({"--screenshot", dir.path(), "--seed", "3"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    for (const char *name : {"simhost-ondrel.png", "simhost-kal-signal.png"}) {
        const QImage picture(dir.filePath(QLatin1String(name)));
        QVERIFY2(!picture.isNull(), name);
        // The window and a dialog side by side.
        QVERIFY(picture.width() > 1000 && picture.height() > 400);
    }
}

void TestSimHostProgram::headlessWebAppRebuilds()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString served = dir.filePath("www");
    const QString source = dir.filePath("www-src");
    QVERIFY(QDir().mkpath(served) && QDir().mkpath(source));
    const QList<QPair<QString, QByteArray>> files = {
        {source + "/index.html", "<html>\n<head>\n<!-- templ-include: head.inc -->\n</head>\n"
                                 "<body>simulated</body>\n</html>\n"},
        {source + "/head.inc", "<link rel=\"stylesheet\" href=\"app.css\">\n"},
        {served + "/app.css", "body {}\n"},
    };
    for (const auto &file : files) {
        QFile out(file.first);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file.second) == file.second.size());
    }

    // The template plug-in rebuilds 4 s after the change that the run makes at 0.5 s.
    const Run run = runSimHost(
        {"--headless", "--webapp", served, "--touch", source + "/index.html", "--seconds", "5"});
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    QVERIFY2(run.out.contains("watch: " + served + "\n"), qPrintable(run.out));
    QVERIFY2(run.out.contains("rewrote " + source + "/index.html\n"), qPrintable(run.out));

    QFile page(served + "/index.html");
    QVERIFY2(page.open(QIODevice::ReadOnly), qPrintable(run.out));
    const QString written = QString::fromLatin1(page.readAll());
    QVERIFY2(written.contains(QRegularExpression("href=\"app.css\\?[0-9a-f]{6}\"")),
             qPrintable(written));
    QVERIFY(written.contains("<body>simulated</body>"));
    QFile sourcePage(source + "/index.html");
    QVERIFY(sourcePage.open(QIODevice::ReadOnly));
    QCOMPARE(sourcePage.readAll(), files.first().second);
}

QTEST_GUILESS_MAIN(TestSimHostProgram)
#include "tst_simhost_program.moc"
