#include "nodeevent.h"

namespace Halvik {

class NodeEventPrivate
{
public:
    int event = -1;
    std::unique_ptr<Node> node;
};

NodeEvent::NodeEvent() : d(new NodeEventPrivate) {}

NodeEvent::NodeEvent(int event, const Node *node) : d(new NodeEventPrivate)
{
    d->event = event;
    if (node)
        d->node.reset(new Node(*node));
}

NodeEvent::NodeEvent(const NodeEvent &other) : NodeEvent(other.d->event, other.d->node.get()) {}

NodeEvent &NodeEvent::operator=(const NodeEvent &other)
{
    NodeEvent copy(other);
    swap(copy);
    return *this;
}

NodeEvent::~NodeEvent() = default;

int NodeEvent::event() const
{
    return d->event;
}

const Node *NodeEvent::node() const
{
    return d->node.get();
}

} // namespace Halvik
