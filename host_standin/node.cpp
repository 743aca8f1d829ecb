#include "node.h"

namespace Halvik {

class NodePrivate
{
public:
    Address address;
};

Node::Node() : d(new NodePrivate) {}

Node::Node(const Node &other) : d(new NodePrivate(*other.d)) {}

Node &Node::operator=(const Node &other)
{
    Node copy(other);
    swap(copy);
    return *this;
}

Node::~Node() = default;

const Address &Node::address() const
{
    return d->address;
}

void Node::setAddress(const Address &address)
{
    d->address = address;
}

} // namespace Halvik
