#pragma once

#include <QStringList>

class QMainWindow;
class QSettings;

// The first window: the settings window when an api key is stored, else the login window. With the
// argument "silent" (exact, whole argument) a signed-in program starts minimised and hides itself a
// second later, so that it starts in the tray (on a desktop without a tray it stays minimised). In a Wayland
// session it then says on standard output that the hotkey works only in X11 applications.
QMainWindow *openFirstWindow(QSettings &startupSettings, const QStringList &arguments);
