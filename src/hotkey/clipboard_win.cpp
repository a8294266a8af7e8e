#include "hotkey/clipboard.h"

#include "app/diagnostics.h"
#include "hotkey/keyboard_win.h"

#include <QDeadlineTimer>

#include <windows.h>

#include <cstring>
#include <vector>

namespace {

constexpr int modifierReleaseMs = 500;
constexpr int copyTimeoutMs = 1000;
constexpr int openTimeoutMs = 250;
constexpr int openRetryMs = 2;
// After a capture that saw no copy within its time, the copy may still come: for this long it is undone.
constexpr ULONGLONG lateCopyWatchMs = 5000;

QByteArray lastError()
{
    return "error " + QByteArray::number(quint32(GetLastError()));
}

// Formats whose data is a global memory block that can be copied byte for byte. Bitmaps, palettes and
// metafiles are GDI handles (CF_BITMAP comes back by itself from CF_DIB), and private formats are whatever
// their owner made them.
bool isMemoryFormat(UINT format)
{
    switch (format) {
    case CF_BITMAP:
    case CF_METAFILEPICT:
    case CF_PALETTE:
    case CF_ENHMETAFILE:
    case CF_OWNERDISPLAY:
    case CF_DSPBITMAP:
    case CF_DSPMETAFILEPICT:
    case CF_DSPENHMETAFILE:
        return false;
    default:
        return !(format >= CF_PRIVATEFIRST && format <= CF_GDIOBJLAST);
    }
}

} // namespace

struct Clipboard::State
{
    struct Format
    {
        UINT id;
        QByteArray data;
    };

    // A message-only window (the watcher thread's own, or one made for this capture elsewhere): it owns what
    // we put on the clipboard and is told of every clipboard change, so the copy is awaited without polling.
    HWND window = nullptr;
    bool ownWindow = false;
    bool listening = false;
    bool saved = false;
    std::vector<Format> formats;
    DWORD sequenceAtSave = 0;
    DWORD sequenceAfterCopy = 0;
    bool changedByCopy = false;
    bool keysSent = false;
    DWORD foregroundProcess = 0;   // where the copy keys went
    quint64 userPressesAtKeys = 0; // the user's key presses counted when they went

    bool putBack();

    bool open()
    {
        // Another program may hold the clipboard open for a moment.
        bool opened = OpenClipboard(window) != 0;
        QDeadlineTimer deadline(openTimeoutMs);
        while (!opened && !deadline.hasExpired()) {
            hotkey::serveHookUntil(openRetryMs, window, [] { return false; });
            opened = OpenClipboard(window) != 0;
        }
        if (!opened)
            writeDiagnosticLine("clipboard busy (" + lastError() + ")");
        return opened;
    }
};

Clipboard::Clipboard() : m_state(std::make_unique<State>())
{
    // A late copy of an earlier capture is no longer watched for: this capture changes the clipboard itself.
    hotkey::setNextClipboardChangeHandler({});
    if (HWND window = hotkey::watcherWindow()) {
        m_state->window = window;
        m_state->listening = true;
        return;
    }
    m_state->window =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr), nullptr);
    m_state->ownWindow = m_state->window != nullptr;
    if (!m_state->window) {
        writeDiagnosticLine("clipboard window not created (" + lastError() + ")");
        return;
    }
    m_state->listening = AddClipboardFormatListener(m_state->window) != 0;
    if (!m_state->listening)
        writeDiagnosticLine("clipboard changes not announced (" + lastError() + "): watching by time");
}

Clipboard::~Clipboard()
{
    if (!m_state || !m_state->ownWindow)
        return;
    if (m_state->listening)
        RemoveClipboardFormatListener(m_state->window);
    DestroyWindow(m_state->window);
}

bool Clipboard::save()
{
    State &state = *m_state;
    // A save replaces what an earlier one found only when it is whole: a failed one leaves nothing to put back,
    // never an empty list that would wipe the clipboard.
    state.saved = false;
    state.formats.clear();
    state.sequenceAtSave = GetClipboardSequenceNumber();
    if (!state.open())
        return false;
    std::vector<State::Format> formats;
    UINT format = 0;
    SetLastError(ERROR_SUCCESS);
    while ((format = EnumClipboardFormats(format)) != 0) {
        if (!isMemoryFormat(format))
            continue;
        HANDLE handle = GetClipboardData(format);
        if (!handle)
            continue;
        const SIZE_T size = GlobalSize(handle);
        const void *bytes = size ? GlobalLock(handle) : nullptr;
        if (!bytes)
            continue;
        formats.push_back({format, QByteArray(static_cast<const char *>(bytes), static_cast<int>(size))});
        GlobalUnlock(handle);
        SetLastError(ERROR_SUCCESS);
    }
    const DWORD error = GetLastError();
    CloseClipboard();
    if (error != ERROR_SUCCESS) {
        writeDiagnosticLine("clipboard not fully read (error " + QByteArray::number(quint32(error)) + ")");
        return false;
    }
    state.formats = std::move(formats);
    state.saved = true;
    return true;
}

std::optional<QString> Clipboard::copySelection()
{
    State &state = *m_state;
    // A hotkey such as ALT+F5 leaves ALT in the user's hand: the application would see CTRL+ALT+C.
    hotkey::serveHookUntil(modifierReleaseMs, state.window, [] { return !hotkey::asyncHeldModifiers().any(); });

    // Another program may have copied since the clipboard was saved (while the user's hand left ALT, say): what
    // it put there is what the user has now, so it is what goes back. Unsaved, it would be lost to the copy: the
    // capture then ends here, before any key.
    DWORD before = GetClipboardSequenceNumber();
    for (int attempt = 0; before != state.sequenceAtSave && attempt < 3; ++attempt) {
        if (!save())
            return std::nullopt;
        before = GetClipboardSequenceNumber();
    }
    if (HWND foreground = GetForegroundWindow())
        GetWindowThreadProcessId(foreground, &state.foregroundProcess);
    if (!hotkey::sendKeystrokes(hotkey::copyKeystrokes(hotkey::asyncHeldModifiers(), hotkey::HeldCtrl::Use)))
        return QString();
    state.keysSent = true;
    state.userPressesAtKeys = hotkey::userKeyPresses();
    // The number may grow by more than one per copy: any change counts. Without the change notification,
    // look again every few milliseconds.
    const auto changed = [before] { return GetClipboardSequenceNumber() != before; };
    bool copied = false;
    if (state.listening) {
        copied = hotkey::serveHookUntil(copyTimeoutMs, state.window, changed);
    } else {
        QDeadlineTimer deadline(copyTimeoutMs);
        while (!(copied = changed()) && !deadline.hasExpired())
            hotkey::serveHookUntil(5, state.window, changed);
    }
    if (!copied)
        return QString();
    state.changedByCopy = true;

    // CF_UNICODETEXT, not CF_TEXT: the latter is in the ANSI code page and turns "é" or "€" into garbage.
    if (!state.open())
        return QString();
    QString text;
    if (HANDLE handle = GetClipboardData(CF_UNICODETEXT)) {
        const SIZE_T size = GlobalSize(handle);
        if (const auto *characters = static_cast<const wchar_t *>(GlobalLock(handle))) {
            const size_t length = wcsnlen(characters, size / sizeof(wchar_t));
            text = QString::fromWCharArray(characters, static_cast<int>(length));
            GlobalUnlock(handle);
        }
    }
    CloseClipboard();
    state.sequenceAfterCopy = GetClipboardSequenceNumber();
    return text;
}

bool Clipboard::restore()
{
    State &state = *m_state;
    if (!state.saved)
        return false;
    // Untouched since it was saved: leave it, with the formats we could not have copied.
    if (!state.changedByCopy && GetClipboardSequenceNumber() == state.sequenceAtSave) {
        if (state.keysSent && state.window == hotkey::watcherWindow())
            watchForLateCopy();
        return true;
    }
    // Another program that copied after the selection was read holds the newest content: it stays.
    if (state.changedByCopy && state.sequenceAfterCopy != 0 &&
        GetClipboardSequenceNumber() != state.sequenceAfterCopy) {
        writeDiagnosticLine("clipboard not restored: another program copied meanwhile");
        return true;
    }
    return state.putBack();
}

// The application may copy after the capture's time: that copy is undone, so that the user's clipboard is not left
// holding the selection. Only the copy our keys caused counts: the next clipboard change, made by the process the
// keys went to, with no key pressed by the user since (a copy of the user's own needs one). Any other change
// ends the watch and stays. The watcher's loop hears the change on its window.
void Clipboard::watchForLateCopy()
{
    const std::shared_ptr<State> kept(std::move(m_state));
    const ULONGLONG deadline = GetTickCount64() + lateCopyWatchMs;
    hotkey::setNextClipboardChangeHandler([kept, deadline] {
        if (GetTickCount64() > deadline || hotkey::userKeyPresses() != kept->userPressesAtKeys)
            return;
        DWORD owner = 0;
        if (HWND window = GetClipboardOwner())
            GetWindowThreadProcessId(window, &owner);
        if (owner == 0 || owner != kept->foregroundProcess || owner == GetCurrentProcessId())
            return;
        writeDiagnosticLine("a late copy was undone");
        kept->putBack();
    });
}

bool Clipboard::State::putBack()
{
    if (!open())
        return false;
    bool complete = EmptyClipboard() != 0;
    for (const Format &format : formats) {
        HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(format.data.size()));
        void *bytes = block ? GlobalLock(block) : nullptr;
        if (!bytes) {
            if (block)
                GlobalFree(block);
            complete = false;
            continue;
        }
        std::memcpy(bytes, format.data.constData(), static_cast<size_t>(format.data.size()));
        GlobalUnlock(block);
        // The clipboard owns the block once it accepted it.
        if (!SetClipboardData(format.id, block)) {
            GlobalFree(block);
            complete = false;
        }
    }
    CloseClipboard();
    if (!complete)
        writeDiagnosticLine("clipboard not fully restored (" + lastError() + ")");
    return complete;
}
