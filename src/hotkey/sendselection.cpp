#include "settings/settingswindow.h"

void SettingsWindow::sendSelection() {}
