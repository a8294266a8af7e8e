#include "hotkey/sending.h"

#include "ui_sending.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMovie>
#include <QScreen>

Sending::Sending(QWidget *parent)
    : QMainWindow(parent), form(std::make_unique<Ui::Sending>()),
      movie(std::make_unique<QMovie>(QStringLiteral(":/images/sending.gif")))
{
    form->setupUi(this);
    setWindowFlags(Qt::FramelessWindowHint);
    // The user is typing in another application: the indicator must not take the keyboard from it.
    setAttribute(Qt::WA_ShowWithoutActivating);

    form->sending->setMovie(movie.get());
    movie->start();

    const QList<QScreen *> screens = QGuiApplication::screens();
    QScreen *screen = screens.size() < 2 ? QGuiApplication::primaryScreen() : screens.first();
    if (screen)
        move(placement(screen->geometry()));
}

Sending::~Sending() = default;

QPoint Sending::placement(const QRect &screen)
{
    // The screen's own offset counts: on a second screen left of the first, the corner is still its own.
    return QPoint(screen.x() + screen.width() - 185, screen.y());
}
