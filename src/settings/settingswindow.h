#pragma once

#include <QMainWindow>

#include <atomic>

class SettingsWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit SettingsWindow(QWidget *parent = nullptr);
    ~SettingsWindow() override;
};

// The most recently built settings window: the hotkey watcher reaches the capture through it.
extern std::atomic<SettingsWindow *> currentSettingsWindow;
