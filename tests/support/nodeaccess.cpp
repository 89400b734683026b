#include "nodeaccess.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/capability.h>
#include <sys/syscall.h>
#endif

#include <cerrno>
#include <cstring>
#include <utility>

namespace testsupport {

namespace {

// Turns this thread's capabilities to override file modes on (as far as permitted) or off; true
// when the effective set changed. Elsewhere than on Linux the node's mode is enough.
bool switchOverride(bool on)
{
#ifdef __linux__
    __user_cap_header_struct header {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    bool changed = false;
    for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        __u32 &effective = data[cap / 32].effective;
        const __u32 bit = 1u << (cap % 32), before = effective;
        effective = on ? effective | (data[cap / 32].permitted & bit) : effective & ~bit;
        changed = changed || effective != before;
    }
    return changed && ::syscall(SYS_capset, &header, data) == 0;
#else
    Q_UNUSED(on);
    return false;
#endif
}

} // namespace

NodeAccessBlock::NodeAccessBlock(const QString &node) : path(QFile::encodeName(node))
{
    struct stat info = {};
    if (::stat(path.constData(), &info) == 0 && ::chmod(path.constData(), 0) == 0) {
        originalMode = info.st_mode & 07777;
        modeChanged = true;
    }
    capabilitiesDropped = switchOverride(false);
}

NodeAccessBlock::~NodeAccessBlock()
{
    lift();
}

bool NodeAccessBlock::blocked(QString *why) const
{
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    if (fd >= 0 || error != EACCES)
        *why = QFile::decodeName(path) + QStringLiteral(": ")
            + (fd >= 0 ? QStringLiteral("still opens")
                       : QString::fromLocal8Bit(std::strerror(error)));
    return fd < 0 && error == EACCES;
}

void NodeAccessBlock::lift()
{
    if (std::exchange(capabilitiesDropped, false))
        switchOverride(true);
    if (std::exchange(modeChanged, false))
        ::chmod(path.constData(), originalMode);
}

} // namespace testsupport
