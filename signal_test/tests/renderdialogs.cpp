// Renders both signal test windows in the middle of a test, for the README:
//     QT_QPA_PLATFORM=offscreen build/signal_test/tests/render_signal_dialogs docs

#include "testbench.h"

#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTimer>

namespace {

bool render(const PluginFile &plugin, const QString &fileName)
{
    TestBench bench(plugin.path);
    const Halvik::Node &node = TestBench::nodeUnderTest();
    bench.openWith(node);
    bench.setDelay(250);
    bench.click("startButton");
    for (int packet = 0; packet < 41; ++packet) {
        bench.indicate(node, 0x0000, 0x8001, quint8(180 + packet % 7), qint8(-58 - packet % 5));
        bench.confirmLast();
        bench.tick();
    }
    bench.sendTimer()->stop();
    bench.dialog()->show();
    return bench.dialog()->grab().save(fileName);
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QDir dir(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath());
    const bool ok = render(OndrelPluginFile, dir.filePath("ondrel-dialog.png")) &&
                    render(KalSignalPluginFile, dir.filePath("kal-signal-dialog.png"));
    return ok ? 0 : 1;
}
