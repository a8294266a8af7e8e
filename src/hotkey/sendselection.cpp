#include "settings/settingswindow.h"

#include "app/config.h"
#include "app/diagnostics.h"
#include "app/uilanguage.h"
#include "hotkey/clipboard.h"
#include "hotkey/numbercleaning.h"
#include "hotkey/windowsthread.h"
#include "service/requests.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QSettings>

namespace {

// One capture at a time: a hotkey pressed while one runs is ignored.
std::atomic<bool> captureRunning{false};

class CaptureTurn
{
public:
    CaptureTurn() : m_granted(!captureRunning.exchange(true)) {}
    ~CaptureTurn()
    {
        if (m_granted)
            captureRunning = false;
    }
    CaptureTurn(const CaptureTurn &) = delete;
    CaptureTurn &operator=(const CaptureTurn &) = delete;

    bool granted() const { return m_granted; }

private:
    bool m_granted;
};

} // namespace

// Runs on the watcher thread on Windows and on the GUI thread on X11. The window's settings object and
// network manager belong to the GUI thread: the configuration is read through an object of our own (QSettings
// objects on one file share their values within the process) and the push is handed to the GUI thread.
void SettingsWindow::sendSelection()
{
    const CaptureTurn turn;
    if (!turn.granted())
        return;

    QSettings config(configFilePath(), QSettings::IniFormat);
    const QString deviceId = config.value(QStringLiteral("id"), QStringLiteral("no")).toString();
    const QString apiKey = config.value(QStringLiteral("apikey"), QStringLiteral("no")).toString();
    // No default device, or signed out: the hotkey does nothing at all, not even to the clipboard.
    if (deviceId == QLatin1String("no") || apiKey == QLatin1String("no"))
        return;

    Clipboard clipboard;
    clipboard.save();
    const CleanedNumber cleaned = cleanNumber(clipboard.copySelection());
    if (cleaned.isNumber) {
        writeDiagnosticLine((cleaned.hadPlus ? QByteArray("%2B") : QByteArray()) + cleaned.digits.toUtf8());
        const QString number = cleaned.number();
        // Handed to the GUI thread through the application object, not this window: a disconnect may destroy
        // the window while the capture runs, so the GUI thread looks up the current window when the push is sent.
        QMetaObject::invokeMethod(
            qApp,
            [apiKey, deviceId, number] {
                SettingsWindow *window = currentSettingsWindow.load();
                if (!window || !window->manager)
                    return;
                service::sendRequest(window->manager,
                                     service::pushUrl(apiKey, isFrenchInterface(), deviceId, number));
                if (WindowsThread *watcher = hotkeyWatcher.load())
                    emit watcher->createSendingWindow();
                else
                    window->createSendingWindow();
            },
            Qt::AutoConnection);
    } else {
        writeDiagnosticLine("not a number " + cleaned.digits.toUtf8());
    }
    clipboard.restore();
}
