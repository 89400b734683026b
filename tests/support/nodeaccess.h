// Makes a device node one this process may not open, as root:dialout 0660 for another user:
// mode 0 and, until lift(), no CAP_DAC_OVERRIDE for this thread (the one that opens the port).
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
