#include "hotkey/capture.h"

#include "app/config.h"
#include "app/diagnostics.h"
#include "app/storedsession.h"
#include "hotkey/clipboard.h"
#include "hotkey/numbercleaning.h"

#include <QSettings>

#include <atomic>
#include <optional>

namespace hotkey {

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

std::optional<NumberSearch> captureSelection(const std::function<void(const CapturedNumber &)> &found)
{
    const CaptureTurn turn;
    if (!turn.granted())
        return std::nullopt;

    // A settings object of our own: the windows' objects belong to the GUI thread, and objects on one file share
    // their values within the process.
    QSettings config(configFilePath(), QSettings::IniFormat);
    const StoredSession session(config);
    const std::optional<QString> deviceId = session.pushDeviceId();
    const QString apiKey = session.apiKey();
    if (!deviceId || !StoredSession::isSignedIn(apiKey))
        return std::nullopt;

    // An unsaved clipboard would be lost to the copy: the capture ends before any key.
    Clipboard clipboard;
    std::optional<QString> selection;
    if (clipboard.save())
        selection = clipboard.copySelection();
    if (!selection) {
        writeDiagnosticLine("capture abandoned: the clipboard could not be saved");
        return std::nullopt;
    }
    const FoundNumber search = findNumber(*selection);
    const CleanedNumber &cleaned = search.cleaned;
    if (search.outcome == NumberSearch::Found) {
        writeDiagnosticLine((cleaned.hadPlus ? QByteArray("%2B") : QByteArray()) + cleaned.digits.toUtf8());
        found(CapturedNumber{apiKey, *deviceId, cleaned.number()});
    } else {
        writeDiagnosticLine("not a number " + cleaned.digits.toUtf8());
    }
    clipboard.restore();
    return search.outcome;
}

} // namespace hotkey
