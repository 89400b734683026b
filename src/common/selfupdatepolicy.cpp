#include "common/selfupdatepolicy.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

bool inGroup(gid_t group)
{
    if (group == ::getegid())
        return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, groups.data());
    for (int i = 0; i < got; ++i) {
        if (groups[static_cast<std::size_t>(i)] == group)
            return true;
    }
    return false;
}

// The system's own answer (read-only mounts, access lists) and the permission bits that
// apply to this user, which the superuser's access ignores.
bool mayWrite(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info = {};
    if (::stat(native.constData(), &info) != 0 || ::access(native.constData(), W_OK) != 0)
        return false;
    if (info.st_uid == ::geteuid())
        return info.st_mode & S_IWUSR;
    if (inGroup(info.st_gid))
        return info.st_mode & S_IWGRP;
    return info.st_mode & S_IWOTH;
}

QString withSlash(const QString &folder)
{
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

} // namespace

QString packageManagedReason(const QString &programPath, const SelfUpdatePolicy &policy)
{
    if (!policy.builtToUpdateItself)
        return QStringLiteral("This Orvane was built to be installed and updated by a package "
                              "manager.");
    const QFileInfo program(programPath);
    const QString real = program.canonicalFilePath().isEmpty() ? program.absoluteFilePath()
                                                               : program.canonicalFilePath();
    for (const QString &location : policy.systemLocations) {
        const QString canonical = QFileInfo(location).canonicalFilePath();
        const QString folder = withSlash(canonical.isEmpty() ? location : canonical);
        if (real.startsWith(folder))
            return QStringLiteral("Orvane runs from %1, a system location that a package "
                                  "manager looks after.")
                .arg(real);
    }
    if (!mayWrite(real) || !mayWrite(QFileInfo(real).absolutePath()))
        return QStringLiteral("Orvane runs from %1, which this user may not change.").arg(real);
    return QString();
}
