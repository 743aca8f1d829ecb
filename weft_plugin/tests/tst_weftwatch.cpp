#include "weftfixture.h"

#include <QElapsedTimer>
#include <QtTest>

namespace {

// Runs the event loop until the plug-in has printed `text`; returns the clock's reading then,
// or -1 after timeoutMs.
qint64 waitFor(const QByteArray &text, const QElapsedTimer &clock, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (!WebAppHost::printed().contains(text)) {
        if (waited.elapsed() > timeoutMs)
            return -1;
        QTest::qWait(10);
    }
    return clock.elapsed();
}

int changeMessages()
{
    int count = 0;
    for (const QByteArray &text : WebAppHost::printed())
        count += text.endsWith(" changed\n");
    return count;
}

} // namespace

// The timer cycle with the real watcher and timer. Each test waits through at least one
// 4000 ms delay, so there are few of them.
class TestWeftWatch : public QObject
{
    Q_OBJECT

private slots:
    void burstGivesOneRebuildAndQuietPeriodIgnoresEdits();
    void newIncludeFileIsWatchedFromThenOn();
    void changedStylesheetRebuildsWithNewSuffix();
};

void TestWeftWatch::burstGivesOneRebuildAndQuietPeriodIgnoresEdits()
{
    WeftFixture app;
    QVERIFY(app.write("www-src/index.html", "v1\n"));
    QVERIFY(app.load());
    const QByteArray rebuilding = app.message("process templates @/www-src\n");

    QElapsedTimer clock;
    clock.start();
    QVERIFY(app.write("www-src/index.html", "v2\n"));
    QTest::qWait(700);
    QVERIFY(app.write("www-src/index.html", "v3\n"));
    QTest::qWait(700);
    QVERIFY(app.write("www-src/index.html", "v4\n"));

    const qint64 rebuiltAt = waitFor(rebuilding, clock, 6000);
    QVERIFY2(rebuiltAt >= 3800 && rebuiltAt <= 4800, qPrintable(QString::number(rebuiltAt)));
    QCOMPARE(WebAppHost::printed().first(), app.message("@/www-src/index.html changed\n"));
    QCOMPARE(changeMessages(), 1);
    QCOMPARE(app.read("www/index.html"), QByteArray("v4\n"));

    QTest::qWait(1000);
    QVERIFY(app.write("www-src/index.html", "v5\n"));
    const qint64 releasedAt = waitFor("templates timer released\n", clock, 4500);
    QVERIFY2(releasedAt - rebuiltAt >= 3800, qPrintable(QString::number(releasedAt - rebuiltAt)));
    // The served page was renamed into place: no notification of it may start a rebuild of
    // its own once the quiet period is over.
    QTest::qWait(500);
    QCOMPARE(changeMessages(), 1);
    QCOMPARE(WebAppHost::printed().count(rebuilding), 1);
    QVERIFY(!app.timer()->isActive());
    QCOMPARE(app.read("www/index.html"), QByteArray("v4\n"));
}

void TestWeftWatch::newIncludeFileIsWatchedFromThenOn()
{
    WeftFixture app;
    QVERIFY(app.load());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(app.write("www-src/new.inc", "x\n"));
    QVERIFY(waitFor(app.message("@/www-src changed\n"), clock, 1000) >= 0);
    QVERIFY(app.watched().contains(app.path("www-src/new.inc")));
    QVERIFY(app.timer()->isActive());

    QVERIFY(waitFor("templates timer released\n", clock, 9000) >= 0);
    WebAppHost::printed().clear();
    QVERIFY(app.write("www-src/new.inc", "y\n"));
    QVERIFY(waitFor(app.message("@/www-src/new.inc changed\n"), clock, 1000) >= 0);
}

void TestWeftWatch::changedStylesheetRebuildsWithNewSuffix()
{
    WeftFixture app;
    QVERIFY(app.write({{"www/main.css", "body { color: red; }\n"},
                       {"www-src/index.html", "<link href=\"main.css\">\n"}}));
    QVERIFY(app.load());
    QElapsedTimer clock;
    clock.start();
    QVERIFY(app.write("www/main.css", "body { color: blue; }\n"));
    QVERIFY(waitFor(app.message("@/www/main.css changed\n"), clock, 1000) >= 0);
    QVERIFY(waitFor(app.message("process templates @/www-src\n"), clock, 6000) >= 0);
    QCOMPARE(app.read("www/index.html"), QByteArray("<link href=\"main.css?fad1d6\">\n"));
}

QTEST_GUILESS_MAIN(TestWeftWatch)
#include "tst_weftwatch.moc"
