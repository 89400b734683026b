// Installing a downloaded application over the program's own file, and starting it.
#pragma once

#include "common/selfupdatepolicy.h"

#include <QString>

#include <functional>

// Puts the program file `source` in place of `targetPath` the way a running executable can be
// replaced: the bytes go into a temporary file beside the target (same folder), which takes
// the target's permissions and is executable; the target as it is now is kept as
// `previousPath` (a second name for the same file where the file system allows it, a copy
// otherwise), and only then is the new file renamed over the target in one step. The target is
// never left half written: on any failure it stays as it was. Returns an empty text on
// success, otherwise why it could not be replaced.
QString replaceProgram(const QString &source, const QString &targetPath,
                       const QString &previousPath);

// The application update the user confirmed: the cloud client's download ("Orvane" in the
// application folder) is proven to be the Orvane offered, for this computer, and goes in
// place of the running program, which then starts again. Nothing is replaced where a package
// manager owns the program.
class AppInstaller
{
public:
    AppInstaller();

    // Test seams: the file an update replaces (the running program's own file when empty,
    // the default), what runs once it is installed (by default: quit and start the program
    // again, detached, with the same arguments), the rule for a program a package manager
    // owns, and the time the proof gives the new program to answer.
    void setTarget(const QString &targetPath);
    void setRestartHandler(std::function<void()> restart);
    void setPolicy(const SelfUpdatePolicy &policy);
    void setProofTimeLimit(int ms);

    QString downloadedFile() const;
    QString target() const;
    // "Orvane.previous" beside the target: the program as it was before the last update.
    QString previousCopy() const;
    // Empty when this program may replace itself; otherwise why a package manager installs
    // its updates, as a sentence for the user.
    QString packageManaged() const;

    // Proves the download is Orvane versionMajor.versionMinor for this computer, puts it in
    // place of the target (the old one kept as previousCopy()) and restarts. Returns an empty
    // text once the restart is under way; otherwise the message for the user: why the update
    // was refused and where things stand, with the program left running as it is. A refused
    // update's download is removed.
    QString installAndRestart(int versionMajor, int versionMinor);

private:
    QString refuse(const QString &why) const;

    QString targetPath;
    std::function<void()> restart;
    SelfUpdatePolicy policy;
    int proofTimeLimitMs;
};
