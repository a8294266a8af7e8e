#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariantMap>

#include <memory>

namespace testsupport {
class TestService;
}

namespace settingstest {

// config.ini as the program finds it (beside the test executable): removed, then given exactly these keys.
void resetConfig(const QVariantMap &values = {});
void removeConfig();
// A key as a fresh settings object reads it; a null QString when missing.
QString configValue(const QString &key);

// Sets the interface language of the session (Linux reads it from the environment at every call).
void setFrenchSession(bool french);

struct SeenBox
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QWidget *parent = nullptr;
};

// Watches for message boxes: each one shown is read through QApplication::activeModalWidget, recorded and
// answered with its OK button, so that a modal box never stalls a test.
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

// The start of every window test: an English session, config.ini holding an api key, and a fresh test service
// (the program's requests go to it) answering "valid". Null when the service could not listen.
std::unique_ptr<testsupport::TestService> startSignedInSession();

} // namespace settingstest

namespace settingstest {

// The start-at-login entry as the session sees it: the stored command line, or a null QString when there is
// none; writeStartEntry puts one there by hand, as an older install would have left it.
QString startEntryCommand();
void writeStartEntry(const QString &command);
void removeStartEntry();
// The start-at-login check box's text: it names Windows there, the login elsewhere.
QString startBoxText(bool french);

} // namespace settingstest
