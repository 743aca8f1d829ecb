#include "testbench.h"

#include <QFormLayout>
#include <QLayout>
#include <QSpinBox>
#include <QtTest>

// The windows as a user meets them; both plug-ins unless a row says otherwise.
class TestDialogs : public QObject
{
    Q_OBJECT

private slots:
    void initialState_data();
    void initialState();
    void layoutOrder_data();
    void layoutOrder();
    void tabFollowsTheLayout_data();
    void tabFollowsTheLayout();
    void monitorHasNoAddressing();
    void buttons_data();
    void buttons();
    void closingKeepsTheTestRunning_data();
    void closingKeepsTheTestRunning();
    void delayLimitsAndStep_data();
    void delayLimitsAndStep();
};

namespace {

void addRow(const PluginFile &plugin, const char *object, const char *property,
            const QVariant &value)
{
    QTest::addRow("%s %s.%s", plugin.tag, object, property)
        << QString(plugin.path) << object << property << value;
}

void addPluginRows(const char *object, const char *property, const QVariant &value)
{
    for (const PluginFile &plugin : BothPlugins)
        addRow(plugin, object, property, value);
}

void addOndrelRow(const char *object, const char *property, const QVariant &value)
{
    addRow(OndrelPluginFile, object, property, value);
}

void addKalRow(const char *object, const char *property, const QVariant &value)
{
    addRow(KalSignalPluginFile, object, property, value);
}

QStringList layoutItemNames(QLayout *layout)
{
    QStringList names;
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem *item = layout->itemAt(i);
        names << (item->widget()   ? item->widget()->objectName()
                  : item->layout() ? item->layout()->objectName()
                                   : QStringLiteral("spacer"));
    }
    return names;
}

QStringList formRows(QFormLayout *form)
{
    QStringList rows;
    for (int row = 0; row < form->rowCount(); ++row) {
        rows << form->itemAt(row, QFormLayout::LabelRole)->widget()->objectName() + ":" +
                    form->itemAt(row, QFormLayout::FieldRole)->widget()->objectName();
    }
    return rows;
}

void addBothPlugins()
{
    QTest::addColumn<QString>("path");
    for (const PluginFile &plugin : BothPlugins)
        QTest::newRow(plugin.tag) << QString(plugin.path);
}

} // namespace

void TestDialogs::initialState_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("object");
    QTest::addColumn<QString>("property");
    QTest::addColumn<QVariant>("value");

    addOndrelRow("OndrelDialog", "windowTitle", "Ondrel");
    addOndrelRow("OndrelDialog", "size", QSize(497, 309));
    addKalRow("KalSignalDialog", "windowTitle", "Signal Monitor");
    addKalRow("KalSignalDialog", "size", QSize(469, 261));

    addPluginRows("label", "text",
                  "Send continious packetes to test signal strength to the selected node.");
    addPluginRows("label", "wordWrap", true);
    addPluginRows("label_3", "text", "Node");
    addPluginRows("nodeLineEdit", "text", "no node selected");
    addPluginRows("nodeLineEdit", "readOnly", true);
    addPluginRows("label_2", "text", "Delay");
    addPluginRows("delaySpinBox", "minimum", 10);
    addPluginRows("delaySpinBox", "maximum", 10000);
    addPluginRows("delaySpinBox", "singleStep", 10);
    addPluginRows("delaySpinBox", "value", 100);
    addPluginRows("delaySpinBox", "suffix", " ms");
    addPluginRows("delaySpinBox", "prefix", "");
    addPluginRows("delaySpinBox", "text", "100 ms");
    addPluginRows("label_4", "text", "RSSI");
    addPluginRows("rssiLineEdit", "text", "0");
    addPluginRows("rssiLineEdit", "readOnly", true);
    addPluginRows("label_5", "text", "LQI");
    addPluginRows("lqiLineEdit", "text", "0");
    addPluginRows("lqiLineEdit", "readOnly", true);
    addPluginRows("label_6", "text", "Status");
    addPluginRows("statusLabel", "text", "Not running");
    addPluginRows("startButton", "text", "Start");
    addPluginRows("startButton", "checkable", false);
    addPluginRows("stopButton", "text", "Stop");
    addPluginRows("closeButton", "text", "Close");

    addOndrelRow("broadcastAllRoutersRadioButton", "text", "Broadcast All Routers");
    addOndrelRow("broadcastAllRoutersRadioButton", "checked", true);
    addOndrelRow("broadcastAllRadioButton", "text", "Broadcast All");
    addOndrelRow("broadcastAllRadioButton", "checked", false);
    addOndrelRow("groupcastRadioButton", "text", "Groupcast");
    addOndrelRow("groupcastRadioButton", "checked", false);
    addOndrelRow("unicastRadioButton", "text", "Unicast");
    addOndrelRow("unicastRadioButton", "checked", false);
    addOndrelRow("label_7", "text", "Group");
    addOndrelRow("groupAddressLineEdit", "text", "0");
    addOndrelRow("groupAddressLineEdit", "readOnly", false);
}

void TestDialogs::initialState()
{
    QFETCH(QString, path);
    QFETCH(QString, object);
    QFETCH(QString, property);
    QFETCH(QVariant, value);
    TestBench bench(path);
    QDialog *dialog = bench.dialog();

    QObject *target = dialog->objectName() == object ? dialog : bench.widget(qPrintable(object));
    QVERIFY2(target, qPrintable(object));
    QCOMPARE(target->property(qPrintable(property)), value);
}

void TestDialogs::layoutOrder_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("vertical");
    QTest::addColumn<QStringList>("form");
    const QStringList monitorItems{"label", "formLayout", "horizontalLayout"};
    const QStringList rows{"label_3:nodeLineEdit", "label_2:delaySpinBox", "label_4:rssiLineEdit",
                           "label_5:lqiLineEdit", "label_6:statusLabel"};
    QTest::newRow("ondrel") << ONDREL_PLUGIN_PATH
                            << QStringList{"label",
                                           "broadcastAllRoutersRadioButton",
                                           "broadcastAllRadioButton",
                                           "groupcastRadioButton",
                                           "unicastRadioButton",
                                           "formLayout",
                                           "horizontalLayout"}
                            << rows.mid(0, 4) + QStringList{"label_7:groupAddressLineEdit"} +
                                   rows.mid(4);
    QTest::newRow("kal") << KAL_SIGNAL_PLUGIN_PATH << monitorItems << rows;
}

void TestDialogs::layoutOrder()
{
    QFETCH(QString, path);
    QFETCH(QStringList, vertical);
    QFETCH(QStringList, form);
    TestBench bench(path);
    QDialog *dialog = bench.dialog();

    QCOMPARE(dialog->layout()->objectName(), "verticalLayout");
    QCOMPARE(layoutItemNames(dialog->layout()), vertical);
    QCOMPARE(formRows(dialog->findChild<QFormLayout *>("formLayout")), form);
    auto *buttonRow = dialog->findChild<QLayout *>("horizontalLayout");
    QCOMPARE(layoutItemNames(buttonRow),
             QStringList({"spacer", "startButton", "stopButton", "closeButton"}));
    QCOMPARE(buttonRow->itemAt(0)->spacerItem()->sizeHint(), QSize(40, 20));
    QCOMPARE(buttonRow->itemAt(0)->expandingDirections(), Qt::Horizontal);
}

void TestDialogs::tabFollowsTheLayout_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("focusOrder");
    // From the first focus, the first widget the user can change, once round. Tab passes over
    // the radio buttons that are not checked; the arrow keys move among them.
    const QStringList form{"nodeLineEdit", "delaySpinBox", "rssiLineEdit", "lqiLineEdit"};
    const QStringList buttons{"startButton", "stopButton", "closeButton"};
    QTest::newRow("ondrel") << ONDREL_PLUGIN_PATH
                            << QStringList{"broadcastAllRoutersRadioButton"} + form +
                                   QStringList{"groupAddressLineEdit"} + buttons;
    QTest::newRow("kal") << KAL_SIGNAL_PLUGIN_PATH << form.mid(1) + buttons + form.mid(0, 1);
}

void TestDialogs::tabFollowsTheLayout()
{
    QFETCH(QString, path);
    QFETCH(QStringList, focusOrder);
    TestBench bench(path);
    QDialog *dialog = bench.dialog();
    dialog->show();
    QVERIFY(QTest::qWaitForWindowActive(dialog));

    QStringList visited;
    for (int press = 0; press <= focusOrder.size(); ++press) {
        // A spin box passes the focus on to its line edit.
        QWidget *focus = QApplication::focusWidget();
        while (focus && focus->parentWidget() != dialog)
            focus = focus->parentWidget();
        visited << (focus ? focus->objectName() : QString());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(visited, focusOrder + focusOrder.mid(0, 1));
}

void TestDialogs::monitorHasNoAddressing()
{
    TestBench bench(KAL_SIGNAL_PLUGIN_PATH);
    for (const char *name : {"broadcastAllRoutersRadioButton", "groupcastRadioButton",
                             "unicastRadioButton", "groupAddressLineEdit", "label_7"})
        QVERIFY2(!bench.widget(name), name);
}

void TestDialogs::buttons_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<int>("starts");
    QTest::addColumn<int>("stops");
    QTest::addColumn<QString>("status");
    for (const PluginFile &plugin : BothPlugins) {
        const QString path = plugin.path;
        QTest::addRow("%s start once", plugin.tag)
            << path << QStringList{"startButton"} << 1 << 0 << "Send 0 packets";
        QTest::addRow("%s start twice", plugin.tag)
            << path << QStringList{"startButton", "startButton"} << 1 << 0 << "Send 0 packets";
        QTest::addRow("%s stop twice", plugin.tag)
            << path << QStringList{"startButton", "stopButton", "stopButton"} << 1 << 2
            << "Stopped";
        QTest::addRow("%s stop before start", plugin.tag)
            << path << QStringList{"stopButton"} << 0 << 1 << "Stopped";
        QTest::addRow("%s start after stop", plugin.tag)
            << path << QStringList{"startButton", "stopButton", "startButton"} << 2 << 1
            << "Send 0 packets";
    }
}

void TestDialogs::buttons()
{
    QFETCH(QString, path);
    QFETCH(QStringList, clicks);
    QFETCH(int, starts);
    QFETCH(int, stops);
    QFETCH(QString, status);
    TestBench bench(path);
    QSignalSpy startSpy(bench.dialog(), SIGNAL(startPressed()));
    QSignalSpy stopSpy(bench.dialog(), SIGNAL(stopPressed()));

    for (const QString &button : clicks)
        bench.click(qPrintable(button));
    QCOMPARE(startSpy.count(), starts);
    QCOMPARE(stopSpy.count(), stops);
    QCOMPARE(bench.text("statusLabel"), status);
}

void TestDialogs::closingKeepsTheTestRunning_data()
{
    addBothPlugins();
}

void TestDialogs::closingKeepsTheTestRunning()
{
    QFETCH(QString, path);
    TestBench bench(path);
    bench.openWith(TestBench::nodeUnderTest());
    QDialog *dialog = bench.dialog();
    dialog->show();
    bench.click("startButton");
    QSignalSpy stopSpy(dialog, SIGNAL(stopPressed()));

    bench.click("closeButton");
    QVERIFY(!dialog->isVisible());
    QCOMPARE(stopSpy.count(), 0);
    QVERIFY(bench.sendTimer()->isActive());
    QCOMPARE(bench.dialog(), dialog);
    QCOMPARE(bench.text("statusLabel"), "Send 0 packets");
}

void TestDialogs::delayLimitsAndStep_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("entered");
    QTest::addColumn<int>("steps");
    QTest::addColumn<int>("value");
    for (const PluginFile &plugin : BothPlugins) {
        const QString path = plugin.path;
        QTest::addRow("%s step up", plugin.tag) << path << 100 << 1 << 110;
        QTest::addRow("%s step down", plugin.tag) << path << 100 << -2 << 80;
        QTest::addRow("%s below minimum", plugin.tag) << path << 5 << 0 << 10;
        QTest::addRow("%s not below minimum", plugin.tag) << path << 10 << -1 << 10;
        QTest::addRow("%s above maximum", plugin.tag) << path << 20000 << 0 << 10000;
        QTest::addRow("%s not above maximum", plugin.tag) << path << 9995 << 1 << 10000;
    }
}

void TestDialogs::delayLimitsAndStep()
{
    QFETCH(QString, path);
    QFETCH(int, entered);
    QFETCH(int, steps);
    QFETCH(int, value);
    TestBench bench(path);
    auto *spinBox = qobject_cast<QSpinBox *>(bench.widget("delaySpinBox"));

    spinBox->setValue(entered);
    spinBox->stepBy(steps);
    QCOMPARE(spinBox->value(), value);
    QCOMPARE(spinBox->text(), QString::number(value) + " ms");
}

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
