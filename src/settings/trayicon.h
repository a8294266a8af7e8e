#pragma once

#include <QSystemTrayIcon>

#include <memory>

class QMenu;

// The program's icon in the notification area. Signed out (the login window) it is grey and has no menu;
// signed in (the settings window) it has the menu that shows the settings window or ends the program.
class TrayIcon final : public QSystemTrayIcon
{
    Q_OBJECT

public:
    enum class State { SignedOut, SignedIn };

    TrayIcon(State state, QObject *parent);
    ~TrayIcon() override;

signals:
    void showRequested();
    void quitRequested();

private:
    // A menu takes no QObject parent: the icon owns it.
    std::unique_ptr<QMenu> m_menu;
};
