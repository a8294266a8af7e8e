#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QString>

namespace testsupport {

// What a message box showed when it was answered.
struct SeenBox
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    int buttonCount = 0;
    // The button that answers Return as the box showed it (Qt picks one when the program asked for none).
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    // No button but OK may answer Return.
    bool onlyOkCanBeDefault = false;
    QWidget *parent = nullptr;
    Qt::TextFormat textFormat = Qt::AutoText;
};

// Watches for message boxes while it lives: each one shown is read through QApplication::activeModalWidget
// (so it must be modal), recorded and answered with its OK button, so that a box never stalls a test. The
// boxes run their own event loop inside the program's handler: the answer comes from that loop.
class MessageBoxCatcher final : public QObject
{
    Q_OBJECT

public:
    MessageBoxCatcher();
    ~MessageBoxCatcher() override;

    QList<SeenBox> seen;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void answerActiveBox();
};

} // namespace testsupport
