// Whether this Orvane may replace its own program file with an update. A package manager owns
// a program it installed: such an Orvane never replaces itself, it tells the user that a new
// version is out and leaves the installing to the package manager.
#pragma once

#include "buildconfig.h"

#include <QString>
#include <QStringList>

struct SelfUpdatePolicy
{
    // False in a build for a package (ORVANE_SELF_UPDATE=OFF).
    bool builtToUpdateItself = buildconfig::selfUpdate;
    // Folders a package manager installs into; a program under one of them belongs to it.
    QStringList systemLocations {QStringLiteral("/usr/")};
};

// Empty when the program at programPath may replace itself; otherwise why not, as a sentence
// for the user. It may not when the build says so, when the program (its real file, links
// followed) lies in a system location, or when this user may not write the program file or
// its folder. Writing is judged by the permission bits as well as by the system, so that a
// folder marked read-only counts as such for the superuser too.
QString packageManagedReason(const QString &programPath,
                             const SelfUpdatePolicy &policy = SelfUpdatePolicy());
