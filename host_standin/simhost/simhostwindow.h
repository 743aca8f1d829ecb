#ifndef SIMHOSTWINDOW_H
#define SIMHOSTWINDOW_H

#include <QWidget>

class PluginSet;
class QDialog;
class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTreeWidget;
class SimNetwork;

// The simulated host's window: the plug-ins it loads with their dialogs, the simulated
// network's nodes and settings, and the plug-ins' debug output. While it exists, DBG_Printf
// writes into its log pane, from before the first plug-in is loaded.
class SimHostWindow : public QWidget
{
    Q_OBJECT

public:
    SimHostWindow(SimNetwork &network, PluginSet &plugins, const QString &pluginDir,
                  QWidget *parent = nullptr);
    ~SimHostWindow() override;

    // Shows the plug-in's dialog and returns it; null when the plug-in offers none.
    QDialog *openDialog(int pluginIndex);
    // Selects the node at this row of the list, which tells the plug-ins.
    void selectNode(int row);

public slots:
    void appendLog(const QString &text);

private slots:
    void openCurrentDialog();
    void nodeClicked();
    void addNode();
    void removeNode();
    void updateButtons();
    void updateFigures();

private:
    QWidget *newPluginPane();
    QWidget *newNetworkPane();
    void fillNodeList();

    SimNetwork &network;
    PluginSet &plugins;
    QTreeWidget *pluginTree;
    QPushButton *openDialogButton;
    QListWidget *nodeList;
    QPushButton *addNodeButton;
    QPushButton *removeNodeButton;
    QSpinBox *latencySpinBox;
    QSpinBox *successRateSpinBox;
    QLabel *figuresLabel;
    QPlainTextEdit *logView;
};

#endif // SIMHOSTWINDOW_H
