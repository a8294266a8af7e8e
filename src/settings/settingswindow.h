#pragma once

#include <QMainWindow>
#include <QModelIndex>
#include <QStringList>
#include <QSystemTrayIcon>

#include <atomic>

class QNetworkAccessManager;
class QNetworkReply;
class QSettings;
class QStandardItem;
class QStandardItemModel;
class QMenu;
class QAction;

class SettingsWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit SettingsWindow(QWidget *parent = nullptr);
    ~SettingsWindow() override;

    // The capture and send routine run on the hotkey (defined with the capture code in src/hotkey).
    void sendSelection();

public slots:
    void createSendingWindow(); // defined with the sending indicator in src/hotkey
};

// The most recently built settings window: the hotkey watcher reaches the capture through it.
extern std::atomic<SettingsWindow *> currentSettingsWindow;
