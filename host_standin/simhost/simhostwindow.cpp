#include "simhostwindow.h"

#include "pluginset.h"
#include "simnetwork.h"

#include <QDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QPointer<SimHostWindow> logWindow;

void printToLog(int, const char *text)
{
    // Queued only when a plug-in prints from another thread than the window's.
    QMetaObject::invokeMethod(logWindow, "appendLog", Qt::AutoConnection,
                              Q_ARG(QString, QString::fromLocal8Bit(text)));
}

QString nodeText(const Halvik::Node &node)
{
    const Halvik::Address &address = node.address();
    return QStringLiteral("%1   nwk 0x%2")
        .arg(address.toStringExt())
        .arg(address.nwk(), 4, 16, QLatin1Char('0'));
}

} // namespace

SimHostWindow::SimHostWindow(SimNetwork &network, PluginSet &plugins, const QString &pluginDir,
                             QWidget *parent)
    : QWidget(parent), network(network), plugins(plugins)
{
    setWindowTitle(tr("Simulated host (seed %1)").arg(network.seed()));
    resize(1100, 560);

    // Plug-ins print from their constructors already.
    logView = new QPlainTextEdit(this);
    logView->setReadOnly(true);
    logView->setMaximumBlockCount(5000);
    logWindow = this;
    Halvik::setDebugPrintHandler(printToLog);
    const QStringList problems = plugins.load(pluginDir);
    for (const PluginSet::Plugin &plugin : plugins.plugins())
        appendLog(
            tr("host: loaded %1 (%2)\n").arg(QFileInfo(plugin.filePath).fileName(), plugin.name));
    for (const QString &problem : problems)
        appendLog(tr("host: %1\n").arg(problem));

    auto *logBox = new QGroupBox(tr("Debug output"), this);
    (new QVBoxLayout(logBox))->addWidget(logView);

    auto *panes = new QHBoxLayout;
    panes->addWidget(newPluginPane(), 1);
    panes->addWidget(newNetworkPane(), 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(panes, 3);
    layout->addWidget(logBox, 2);

    fillNodeList();
    updateButtons();
    updateFigures();
    connect(&network, &SimNetwork::figuresChanged, this, &SimHostWindow::updateFigures);
}

SimHostWindow::~SimHostWindow()
{
    Halvik::setDebugPrintHandler(nullptr);
}

QWidget *SimHostWindow::newPluginPane()
{
    pluginTree = new QTreeWidget;
    pluginTree->setHeaderLabels({tr("Plug-in"), tr("File")});
    pluginTree->setRootIsDecorated(false);
    pluginTree->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    for (const PluginSet::Plugin &plugin : plugins.plugins()) {
        auto *item =
            new QTreeWidgetItem(pluginTree, {plugin.name, QFileInfo(plugin.filePath).fileName()});
        item->setToolTip(1, plugin.filePath);
    }
    openDialogButton = new QPushButton(tr("Open dialog"));

    connect(pluginTree, &QTreeWidget::currentItemChanged, this, &SimHostWindow::updateButtons);
    connect(pluginTree, &QTreeWidget::itemActivated, this, &SimHostWindow::openCurrentDialog);
    connect(openDialogButton, &QPushButton::clicked, this, &SimHostWindow::openCurrentDialog);

    auto *box = new QGroupBox(tr("Plug-ins"));
    auto *layout = new QVBoxLayout(box);
    layout->addWidget(pluginTree);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(openDialogButton);
    layout->addLayout(buttons);
    return box;
}

QWidget *SimHostWindow::newNetworkPane()
{
    nodeList = new QListWidget;
    addNodeButton = new QPushButton(tr("Add node"));
    removeNodeButton = new QPushButton(tr("Remove node"));

    latencySpinBox = new QSpinBox;
    latencySpinBox->setRange(0, 5000);
    latencySpinBox->setSingleStep(10);
    latencySpinBox->setSuffix(tr(" ms"));
    latencySpinBox->setValue(network.latency());
    successRateSpinBox = new QSpinBox;
    successRateSpinBox->setRange(0, 100);
    successRateSpinBox->setSuffix(tr(" %"));
    successRateSpinBox->setValue(network.successRate());
    figuresLabel = new QLabel;

    // Every click selects, also on the node already selected.
    connect(nodeList, &QListWidget::itemClicked, this, &SimHostWindow::nodeClicked);
    connect(nodeList, &QListWidget::itemActivated, this, &SimHostWindow::nodeClicked);
    connect(nodeList, &QListWidget::currentRowChanged, this, &SimHostWindow::updateButtons);
    connect(addNodeButton, &QPushButton::clicked, this, &SimHostWindow::addNode);
    connect(removeNodeButton, &QPushButton::clicked, this, &SimHostWindow::removeNode);
    connect(latencySpinBox, qOverload<int>(&QSpinBox::valueChanged), &network,
            &SimNetwork::setLatency);
    connect(successRateSpinBox, qOverload<int>(&QSpinBox::valueChanged), &network,
            &SimNetwork::setSuccessRate);

    auto *box = new QGroupBox(tr("Network"));
    auto *layout = new QVBoxLayout(box);
    layout->addWidget(nodeList);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(addNodeButton);
    buttons->addWidget(removeNodeButton);
    layout->addLayout(buttons);
    auto *settings = new QFormLayout;
    settings->addRow(tr("Latency"), latencySpinBox);
    settings->addRow(tr("Success rate"), successRateSpinBox);
    settings->addRow(tr("Traffic"), figuresLabel);
    layout->addLayout(settings);
    return box;
}

QDialog *SimHostWindow::openDialog(int pluginIndex)
{
    pluginTree->setCurrentItem(pluginTree->topLevelItem(pluginIndex));
    QDialog *dialog = plugins.dialog(pluginIndex);
    if (dialog) {
        dialog->show();
        dialog->raise();
        dialog->activateWindow();
    }
    return dialog;
}

void SimHostWindow::selectNode(int row)
{
    nodeList->setCurrentRow(row);
    network.selectNode(row);
}

void SimHostWindow::appendLog(const QString &text)
{
    // Plug-ins print whole lines or pieces of one; the text goes in as it came.
    logView->moveCursor(QTextCursor::End);
    logView->insertPlainText(text);
    logView->ensureCursorVisible();
}

void SimHostWindow::openCurrentDialog()
{
    const int index = pluginTree->indexOfTopLevelItem(pluginTree->currentItem());
    if (index >= 0)
        openDialog(index);
}

void SimHostWindow::nodeClicked()
{
    network.selectNode(nodeList->currentRow());
}

void SimHostWindow::addNode()
{
    network.addNode();
    fillNodeList();
}

void SimHostWindow::removeNode()
{
    const int row = nodeList->currentRow();
    network.removeNode(row);
    fillNodeList();
    nodeList->setCurrentRow(qMin(row, nodeList->count() - 1));
}

void SimHostWindow::updateButtons()
{
    const int plugin = pluginTree->indexOfTopLevelItem(pluginTree->currentItem());
    openDialogButton->setEnabled(plugin >= 0 && plugins.hasDialog(plugin));
    addNodeButton->setEnabled(nodeList->count() < SimNetwork::RosterSize);
    removeNodeButton->setEnabled(nodeList->currentRow() >= 0);
}

void SimHostWindow::updateFigures()
{
    figuresLabel->setText(tr("%1 requests, %2 confirms (%3 successful), %4 indications")
                              .arg(network.requestsReceived())
                              .arg(network.confirmsSent())
                              .arg(network.successfulConfirms())
                              .arg(network.indicationsSent()));
}

void SimHostWindow::fillNodeList()
{
    nodeList->clear();
    for (const Halvik::Node &node : network.nodes())
        nodeList->addItem(nodeText(node));
    updateButtons();
}
