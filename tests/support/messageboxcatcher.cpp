#include "support/messageboxcatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QEvent>
#include <QPushButton>
#include <QTimer>

namespace testsupport {

MessageBoxCatcher::MessageBoxCatcher()
{
    qApp->installEventFilter(this);
}

MessageBoxCatcher::~MessageBoxCatcher()
{
    qApp->removeEventFilter(this);
}

bool MessageBoxCatcher::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show && qobject_cast<QMessageBox *>(watched))
        QTimer::singleShot(0, this, &MessageBoxCatcher::answerActiveBox);
    return false;
}

void MessageBoxCatcher::answerActiveBox()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    SeenBox record;
    record.title = box->windowTitle();
    record.text = box->text();
    record.icon = box->icon();
    record.buttons = box->standardButtons();
    record.buttonCount = box->buttons().size();
    record.defaultButton = box->standardButton(box->defaultButton());
    record.onlyOkCanBeDefault = !box->defaultButton() || box->defaultButton() == box->button(QMessageBox::Ok);
    record.parent = box->parentWidget();
    record.textFormat = box->textFormat();
    seen.append(record);
    if (QAbstractButton *ok = box->button(QMessageBox::Ok))
        ok->click();
    else
        box->reject();
}

} // namespace testsupport
