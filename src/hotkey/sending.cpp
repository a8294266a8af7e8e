#include "hotkey/sending.h"

#include "ui_sending.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMovie>
#include <QScreen>

#include <algorithm>

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

Sending::Sending(const QString &message, QWidget *parent) : Sending(parent)
{
    movie->stop();
    form->sending->setMovie(nullptr);
    form->sending->setText(message);
    form->sending->setWordWrap(true);
    form->sending->setAlignment(Qt::AlignCenter);
    form->sending->setMargin(4);
    form->sending->setFrameShape(QFrame::Box);
    // As wide as the animation, so that it stands in the same corner; as tall as the text needs with the user's font.
    const int height = std::max(form->sending->height(), form->sending->heightForWidth(form->sending->width()));
    form->sending->resize(form->sending->width(), height);
    resize(width(), height);
}

Sending::~Sending() = default;

QString Sending::notFoundText(NumberSearch why, bool french)
{
    if (why == NumberSearch::SeveralNumbers) {
        return french ? QStringLiteral("Plusieurs numéros dans la sélection : n'en sélectionnez qu'un")
                      : QStringLiteral("Several numbers in the selection: select one");
    }
    return french ? QStringLiteral("Pas de numéro de téléphone dans la sélection")
                  : QStringLiteral("No phone number in the selection");
}

QPoint Sending::placement(const QRect &screen)
{
    // The screen's own offset counts: on a second screen left of the first, the corner is still its own.
    return QPoint(screen.x() + screen.width() - 185, screen.y());
}
