#include "hotkey/capture.h"

#include "app/diagnostics.h"
#include "hotkey/clipboard.h"
#include "hotkey/numbercleaning.h"

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

std::optional<NumberSearch> captureSelection(const std::function<void(const QString &number)> &found)
{
    const CaptureTurn turn;
    if (!turn.granted())
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
        found(cleaned.number());
    } else {
        writeDiagnosticLine("not a number " + cleaned.digits.toUtf8());
    }
    clipboard.restore();
    return search.outcome;
}

} // namespace hotkey
