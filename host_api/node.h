#ifndef NODE_H
#define NODE_H

#include "address.h"

#include <memory>

namespace Halvik {

class NodePrivate;

// A node of the network as the host knows it.
class Node
{
public:
    Node();
    Node(const Node &other);
    Node &operator=(const Node &other);
    ~Node();

    void swap(Node &other) noexcept { d.swap(other.d); }

    const Address &address() const;
    void setAddress(const Address &address);

private:
    std::unique_ptr<NodePrivate> d;
};

} // namespace Halvik

#endif // NODE_H
