#pragma once

#include <QMainWindow>

#include <memory>

class QMovie;

namespace Ui {
class Sending;
}

// The sign of a push: a small borderless window with an animation, in the top right corner of the screen.
class Sending : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr int shownMs = 2000;

    explicit Sending(QWidget *parent = nullptr);
    ~Sending() override;

    // Where the indicator goes on a screen of this geometry: its top right corner.
    static QPoint placement(const QRect &screen);

private:
    std::unique_ptr<Ui::Sending> form;
    std::unique_ptr<QMovie> movie;
};
