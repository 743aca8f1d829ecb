#ifndef NODEEVENT_H
#define NODEEVENT_H

#include "node.h"

#include <QMetaType>

#include <memory>

namespace Halvik {

class NodeEventPrivate;

// Something happened to a node in the host, e.g. NodeSelected when the user selects it.
//
// The event keeps its own copy of the node it was built from, so node() stays valid after
// a queued delivery even when the host has meanwhile deleted its node (as it does on
// NodeRemoved). node() is null when the event was built without a node. A default event
// has the code -1, which no plug-in acts on, and no node.
class NodeEvent
{
public:
    // The codes that plug-ins act on; a host may send others.
    enum Event
    {
        NodeSelected = 0,
        NodeRemoved = 3
    };

    NodeEvent();
    NodeEvent(int event, const Node *node);
    NodeEvent(const NodeEvent &other);
    NodeEvent &operator=(const NodeEvent &other);
    ~NodeEvent();

    void swap(NodeEvent &other) noexcept { d.swap(other.d); }

    int event() const;
    const Node *node() const;

private:
    std::unique_ptr<NodeEventPrivate> d;
};

} // namespace Halvik

Q_DECLARE_METATYPE(Halvik::NodeEvent)

#endif // NODEEVENT_H
