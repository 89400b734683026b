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

namespace testsupport {

namespace {

#ifdef __linux__
// The capabilities that let a thread open a file whatever its mode.
constexpr int overrides[] = {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH};

bool readCapabilities(__user_cap_header_struct &header, __user_cap_data_struct (&data)[2])
{
    header = {_LINUX_CAPABILITY_VERSION_3, 0};
    return ::syscall(SYS_capget, &header, data) == 0;
}

bool hasOverride()
{
    __user_cap_header_struct header;
    __user_cap_data_struct data[2] {};
    if (!readCapabilities(header, data))
        return false;
    for (int cap : overrides) {
        if (data[cap / 32].effective & (1u << (cap % 32)))
            return true;
    }
    return false;
}

bool setOverride(bool on)
{
    __user_cap_header_struct header;
    __user_cap_data_struct data[2] {};
    if (!readCapabilities(header, data))
        return false;
    for (int cap : overrides) {
        const __u32 bit = 1u << (cap % 32);
        if (on)
            data[cap / 32].effective |= data[cap / 32].permitted & bit;
        else
            data[cap / 32].effective &= ~bit;
    }
    return ::syscall(SYS_capset, &header, data) == 0;
}
#else
// Elsewhere a test runs without capabilities of its own: the node's mode is enough.
bool hasOverride()
{
    return false;
}
bool setOverride(bool)
{
    return false;
}
#endif

} // namespace

NodeAccessBlock::NodeAccessBlock(const QString &node) : path(QFile::encodeName(node))
{
    struct stat info
    {
    };
    if (::stat(path.constData(), &info) == 0 && ::chmod(path.constData(), 0) == 0) {
        originalMode = info.st_mode & 07777;
        modeChanged = true;
    }
    if (hasOverride())
        capabilitiesDropped = setOverride(false);
}

NodeAccessBlock::~NodeAccessBlock()
{
    lift();
}

bool NodeAccessBlock::blocked(QString *why) const
{
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const int error = errno;
    if (fd >= 0) {
        ::close(fd);
        *why = QStringLiteral("%1 still opens (mode changed: %2, capability set aside: %3)")
                   .arg(QFile::decodeName(path))
                   .arg(modeChanged)
                   .arg(capabilitiesDropped);
        return false;
    }
    if (error != EACCES) {
        *why = QStringLiteral("%1: %2").arg(QFile::decodeName(path),
                                            QString::fromLocal8Bit(std::strerror(error)));
        return false;
    }
    return true;
}

void NodeAccessBlock::lift()
{
    if (capabilitiesDropped)
        setOverride(true);
    capabilitiesDropped = false;
    if (modeChanged)
        ::chmod(path.constData(), originalMode);
    modeChanged = false;
}

} // namespace testsupport
