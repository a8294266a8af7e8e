#include "settings/settingswindow.h"

std::atomic<SettingsWindow *> currentSettingsWindow{nullptr};

SettingsWindow::SettingsWindow(QWidget *parent) : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("tapvela - settings"));
    currentSettingsWindow = this;
}

SettingsWindow::~SettingsWindow()
{
    SettingsWindow *self = this;
    currentSettingsWindow.compare_exchange_strong(self, nullptr);
}
