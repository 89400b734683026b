// Installing a downloaded application over the program's own file, and starting it.
#pragma once

#include <QString>

#include <functional>

// Copies newFile over targetPath the way a running executable can be replaced: the bytes go
// into a temporary file beside the target (same folder), which takes the target's permissions
// and is executable, and is then renamed over the target in one step. The target is never
// left half written: on any failure it stays as it was. Returns an empty text on success,
// otherwise why the update could not be installed.
QString installApplicationUpdate(const QString &newFile, const QString &targetPath);

// The application update the user confirmed: the cloud client's download ("Orvane" in the
// application folder) goes in place of the running program, which then starts again.
class AppInstaller
{
public:
    AppInstaller();

    // Test seams: the file an update replaces (the running program's own file when empty,
    // the default) and what runs once it is installed (by default: quit and start the
    // program again, detached, with the same arguments).
    void setTarget(const QString &targetPath);
    void setRestartHandler(std::function<void()> restart);

    QString downloadedFile() const;
    QString target() const;

    // Installs the downloaded application and restarts. Returns why it could not be
    // installed, with the program left running as it is; empty once the restart is under way.
    QString installAndRestart();

private:
    QString targetPath;
    std::function<void()> restart;
};
