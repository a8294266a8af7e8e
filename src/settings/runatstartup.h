#pragma once

#include <QString>

// Starting the program with the user's session, with the argument "silent" so that it starts in the tray:
// a value under the current user's Run key on Windows, an XDG autostart entry elsewhere. Failures are never
// shown to the user; the results serve the callers that care.

// Whether the session will start the program: the entry exists and can be read.
bool isRunAtStartupEnabled();

// Creates or replaces the entry with the command line of the program now running; false when it could not
// be written.
bool enableRunAtStartup();

// Removes the entry; true when none is left, so removing an absent entry succeeds quietly.
bool disableRunAtStartup();

// The command line stored for program (an absolute native path): the path in double quotes, then " silent",
// written as the entry's format requires (on XDG, the escaped value of the Exec key).
QString runAtStartupCommand(const QString &program);

// The running executable as the entry names it: absolute, whatever the current directory was at start-up and
// however the program was started, with native separators.
QString runAtStartupProgram();

// The check box's text, in French or English: it names the start with Windows on Windows, the start at login
// elsewhere.
QString runAtStartupText(bool french);
