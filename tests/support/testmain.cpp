#include "testmain.h"

#include <QDir>
#include <QTemporaryDir>

#include <memory>

namespace testsupport {

namespace {
std::unique_ptr<QTemporaryDir> &homeDir()
{
    static std::unique_ptr<QTemporaryDir> dir;
    return dir;
}
} // namespace

void isolateHome()
{
    homeDir() = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/orvane-test-home-XXXXXX");
    const QByteArray home = QFile::encodeName(homeDir()->path());
    qputenv("HOME", home);
    qputenv("XDG_CONFIG_HOME", home + "/.config");
    qputenv("XDG_DATA_HOME", home + "/.local/share");
    qputenv("XDG_CACHE_HOME", home + "/.cache");
    qunsetenv("XDG_RUNTIME_DIR");
}

QString testHome()
{
    return homeDir() ? homeDir()->path() : QString();
}

} // namespace testsupport
