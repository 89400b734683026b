// Makes a device node one that this process may not open, as a root:dialout 0660 node is for
// a user outside that group: the node's mode becomes 0 and, where this thread may override
// file modes (root's CAP_DAC_OVERRIDE), that capability is set aside until lift().
// Capabilities belong to a thread: block the node from the thread that opens the port.
#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

namespace testsupport {

class NodeAccessBlock
{
public:
    explicit NodeAccessBlock(const QString &node);
    ~NodeAccessBlock();
    NodeAccessBlock(const NodeAccessBlock &) = delete;
    NodeAccessBlock &operator=(const NodeAccessBlock &) = delete;

    // Whether opening the node for reading and writing now fails with EACCES; if not, why.
    bool blocked(QString *why) const;

    // The node as it was, and the capabilities back.
    void lift();

private:
    QByteArray path;
    mode_t originalMode = 0;
    bool modeChanged = false;
    bool capabilitiesDropped = false;
};

} // namespace testsupport
