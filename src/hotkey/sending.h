#pragma once

#include "hotkey/numbercleaning.h"

#include <QMainWindow>

#include <memory>

class QMovie;

namespace Ui {
class Sending;
}

// The sign of a push: a small borderless window with an animation, in the top right corner of the screen. In its
// place, when a press pushed nothing, a short text that says why.
class Sending : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr int shownMs = 2000;
    static constexpr int messageShownMs = 3000; // time to read a line

    explicit Sending(QWidget *parent = nullptr);
    // The text instead of the animation.
    explicit Sending(const QString &message, QWidget *parent = nullptr);
    ~Sending() override;

    // Why nothing was pushed, in the interface's language; why is NoNumber or SeveralNumbers.
    static QString notFoundText(NumberSearch why, bool french);

    // Where the indicator goes on a screen of this geometry: its top right corner.
    static QPoint placement(const QRect &screen);

private:
    std::unique_ptr<Ui::Sending> form;
    std::unique_ptr<QMovie> movie;
};
