#include "hotkey/sending.h"

#include "settings/settingswindow.h"
#include "ui_sending.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMovie>
#include <QScreen>
#include <QTimer>

Sending::Sending(QWidget *parent) : QMainWindow(parent), form(new Ui::Sending)
{
    form->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint);
    // The user is typing in another application: the indicator must not take the keyboard from it.
    setAttribute(Qt::WA_ShowWithoutActivating);

    movie = new QMovie(QStringLiteral(":/images/sending.gif"));
    auto *label = findChild<QLabel *>(QStringLiteral("sending"));
    label->setMovie(movie);
    movie->start();

    const QList<QScreen *> screens = QGuiApplication::screens();
    QScreen *screen = screens.size() < 2 ? QGuiApplication::primaryScreen() : screens.first();
    if (screen)
        move(placement(screen->geometry()));
}

Sending::~Sending()
{
    delete movie;
    delete form;
}

QPoint Sending::placement(const QRect &screen)
{
    // The screen's own offset counts: on a second screen left of the first, the corner is still its own.
    return QPoint(screen.x() + screen.width() - 185, screen.y());
}

void SettingsWindow::createSendingWindow()
{
    auto *indicator = new Sending;
    indicator->show();
    indicator->setFocus(Qt::OtherFocusReason);
    QTimer::singleShot(Sending::shownMs, indicator, [indicator] {
        indicator->hide();
        indicator->deleteLater();
    });
}
