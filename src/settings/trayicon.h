#pragma once

#include <QSystemTrayIcon>

#include <memory>

class QMenu;

// The settings window's icon in the notification area, with the menu that shows the window or ends the program.
// (Signed out, the login window shows a grey icon of its own, without a menu.)
class TrayIcon final : public QSystemTrayIcon
{
    Q_OBJECT

public:
    explicit TrayIcon(QObject *parent);
    ~TrayIcon() override;

signals:
    void showRequested();
    void quitRequested();

private:
    // A menu takes no QObject parent: the icon owns it.
    std::unique_ptr<QMenu> m_menu;
};
