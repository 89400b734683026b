#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <csignal>
#include <memory>

#include <sys/resource.h>
#include <sys/stat.h>

namespace testsupport {

namespace {
std::unique_ptr<QTemporaryDir> homeDir;
} // namespace

void isolateHome()
{
    homeDir = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/orvane-test-home-XXXXXX");
    const QByteArray home = QFile::encodeName(homeDir->path());
    qputenv("HOME", home);
    qputenv("XDG_CONFIG_HOME", home + "/.config");
    qputenv("XDG_DATA_HOME", home + "/.local/share");
    qputenv("XDG_CACHE_HOME", home + "/.cache");
    qunsetenv("XDG_RUNTIME_DIR");
}

QString testHome()
{
    return homeDir ? homeDir->path() : QString();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

int modeOf(const QString &path)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

FileSizeLimit::FileSizeLimit(unsigned long bytes)
{
    struct rlimit limit = {};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    savedLimit = limit.rlim_cur;
    savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit()
{
    struct rlimit limit = {};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = savedLimit;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, savedHandler);
}

} // namespace testsupport
