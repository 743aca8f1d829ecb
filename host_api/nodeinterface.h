#ifndef NODEINTERFACE_H
#define NODEINTERFACE_H

#include <QtPlugin>

class QDialog;
class QWidget;

namespace Halvik {

// What the host asks of every plug-in. The plug-in class derives from QObject first and
// NodeInterface second, and declares Q_INTERFACES(Halvik::NodeInterface) so that the host
// finds this part with qobject_cast. The order of the operations is part of the binary
// contract with the host: append, never reorder.
class NodeInterface
{
public:
    enum Features
    {
        DialogFeature = 1
    };

    virtual ~NodeInterface() = default;

    // Display name, 8-bit text owned by the plug-in.
    virtual const char *name() = 0;
    virtual bool hasFeature(int feature) = 0;
    // Null when the plug-in has none. The host takes what it gets without owning it.
    virtual QWidget *createWidget() = 0;
    virtual QDialog *createDialog() = 0;
};

} // namespace Halvik

Q_DECLARE_INTERFACE(Halvik::NodeInterface, "com.Halvik.NodeInterface/1.0")

#endif // NODEINTERFACE_H
