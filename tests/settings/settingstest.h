#pragma once

#include "settings/settingswindow.h"
#include "support/messageboxcatcher.h"
#include "support/testservice.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTemporaryDir>
#include <QVariantMap>

#include <memory>

namespace settingstest {

// config.ini as the program finds it (beside the test executable): removed, then given exactly these keys.
void resetConfig(const QVariantMap &values = {});
void removeConfig();
// A key as a fresh settings object reads it; a null QString when missing.
QString configValue(const QString &key);

// Sets the interface language of the session (Linux reads it from the environment at every call).
void setFrenchSession(bool french);

// Message boxes are caught and answered by the shared catcher.
using testsupport::MessageBoxCatcher;
using testsupport::SeenBox;

// The start of every window test: an English session, config.ini holding an api key, and a fresh test service
// (the program's requests go to it) answering "valid". Null when the service could not listen.
std::unique_ptr<testsupport::TestService> startSignedInSession();

// What the window test classes share: a configuration home of the run's own (the start-at-login entry goes
// there), and for each test a fresh signed-in session with a catcher of message boxes.
class WindowTest : public QObject
{
protected:
    // From initTestCase.
    void useOwnConfigHome();
    // From init and cleanup.
    void startSession();
    void endSession();

    QTemporaryDir home;
    std::unique_ptr<testsupport::TestService> service; // a fresh one per test: no queued reply outlives it
    std::unique_ptr<MessageBoxCatcher> boxes;
    QPointer<SettingsWindow> window;
};

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
