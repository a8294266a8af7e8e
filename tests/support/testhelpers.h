#pragma once

#include <QProcessEnvironment>
#include <QString>

namespace testsupport {

// The built tapvela executable.
QString programPath();

// Copies the executable into dir, as a user would install it there, so that it finds its config.ini
// beside it; returns the copy's path.
QString stageProgram(const QString &dir);

// An environment for a child tapvela: its own runtime directory (the single-instance lock) and
// configuration home, so that tests never meet each other or the user's session.
QProcessEnvironment isolatedEnvironment(const QString &dir);

} // namespace testsupport
