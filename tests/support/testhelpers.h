#pragma once

#include <QApplication>
#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QWidget>

namespace testsupport {

// The built tapvela executable.
QString programPath();

// Copies the executable into dir, as a user would install it there, so that it finds its config.ini
// beside it; returns the copy's path.
QString stageProgram(const QString &dir);

// An environment for a child tapvela: its own runtime directory (the single-instance lock) and
// configuration home, so that tests never meet each other or the user's session.
QProcessEnvironment isolatedEnvironment(const QString &dir);

// The application's top-level widgets of one class, those the code under test made on its own included.
template <typename Window> QList<Window *> topLevelWindows()
{
    QList<Window *> windows;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<Window *>(widget))
            windows.append(window);
    }
    return windows;
}

} // namespace testsupport
