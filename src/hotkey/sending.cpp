#include "settings/settingswindow.h"

void SettingsWindow::createSendingWindow() {}
