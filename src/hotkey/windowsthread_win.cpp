#include "hotkey/windowsthread.h"

#include "app/diagnostics.h"
#include "hotkey/keyboard_win.h"

#include <windows.h>

namespace {

// Posted by the hook procedure to its own thread: the hotkey was pressed.
constexpr UINT hotkeyMessage = WM_APP + 0x48;

QByteArray lastError()
{
    return "error " + QByteArray::number(quint32(GetLastError()));
}

} // namespace

// A low-level keyboard hook, installed by the watcher thread and called on it while its message loop waits.
// The hook procedure must return at once: Windows silently removes a hook that overruns
// LowLevelHooksTimeout, and keys synthesised from inside it reach their target only after it has returned.
// So on the hotkey it only posts a message to its own thread; the loop then emits hotkeyPressed.
class WindowsThread::OsEventSource final : public WindowsThread::EventSource
{
public:
    void wake() override
    {
        m_stopRequested = true;
        // Before its queue exists the thread cannot receive WM_QUIT; it then sees m_stopRequested instead.
        const DWORD threadId = m_threadId.load();
        if (threadId != 0 && !PostThreadMessageW(threadId, WM_QUIT, 0, 0) && m_looping)
            writeDiagnosticLine("hotkey watcher: stop not delivered (" + lastError() + ")");
    }

    void run(WindowsThread &thread) override
    {
        MSG message;
        PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE); // gives the thread its message queue
        m_threadId = GetCurrentThreadId();
        if (m_stopRequested)
            return;

        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        m_nsPerTick = 1e9 / static_cast<double>(frequency.QuadPart);
        m_thread = &thread;
        active = this;
        HHOOK hook = SetWindowsHookExW(WH_KEYBOARD_LL, &OsEventSource::hookProcedure, GetModuleHandleW(nullptr), 0);
        if (!hook) {
            writeDiagnosticLine("keyboard hook not installed (" + lastError() + "): the hotkey is not watched");
            active = nullptr;
            thread.setState(State::Unavailable);
            return;
        }
        // Made once here rather than at each capture: under Wine a window and its clipboard listener cost
        // several milliseconds.
        HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      GetModuleHandleW(nullptr), nullptr);
        if (!window) {
            writeDiagnosticLine("hotkey watcher: no window of its own (" + lastError() + ")");
        } else if (!AddClipboardFormatListener(window)) {
            writeDiagnosticLine("hotkey watcher: no clipboard listener (" + lastError() + ")");
            DestroyWindow(window);
            window = nullptr;
        }
        hotkey::setWatcherWindow(window);
        thread.setState(State::Watching);
        m_looping = true;
        loop(thread);
        m_looping = false;
        hotkey::setWatcherWindow(nullptr);
        if (window) {
            RemoveClipboardFormatListener(window);
            DestroyWindow(window);
        }
        if (!UnhookWindowsHookEx(hook))
            writeDiagnosticLine("keyboard hook not removed (" + lastError() + ")");
        active = nullptr;
    }

private:
    void loop(WindowsThread &thread)
    {
        MSG message;
        for (;;) {
            const BOOL got = GetMessageW(&message, nullptr, 0, 0);
            if (got == 0)
                return;
            if (got == -1) {
                writeDiagnosticLine("hotkey watcher: message loop failed (" + lastError() + ")");
                return;
            }
            if (message.hwnd == nullptr && message.message == hotkeyMessage) {
                emit thread.hotkeyPressed();
                // Hotkeys pressed while the capture ran are dropped; a stop that came meanwhile still counts.
                while (PeekMessageW(&message, nullptr, hotkeyMessage, hotkeyMessage, PM_REMOVE)) {
                    if (message.message == WM_QUIT)
                        return;
                }
                continue;
            }
            if (message.message == WM_CLIPBOARDUPDATE && message.hwnd != nullptr &&
                message.hwnd == hotkey::watcherWindow())
                hotkey::clipboardChangedBetweenCaptures();
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }

    static LRESULT CALLBACK hookProcedure(int code, WPARAM wParam, LPARAM lParam)
    {
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        OsEventSource *source = active;
        if (code == HC_ACTION && source) {
            const bool down = wParam == WM_KEYDOWN || wParam == WM_SYSKEYDOWN;
            const bool up = wParam == WM_KEYUP || wParam == WM_SYSKEYUP;
            if (down || up) {
                const auto *info = reinterpret_cast<const KBDLLHOOKSTRUCT *>(lParam);
                hotkey::KeyEvent key;
                key.virtualKey = static_cast<int>(info->vkCode);
                key.down = down;
                // Only our own keystrokes are set aside: keys that another program injects are the user's.
                key.ownKeystroke = (info->flags & LLKHF_INJECTED) != 0 && info->dwExtraInfo == hotkey::ownKeystrokeMark;
                if (down && !key.ownKeystroke)
                    hotkey::countUserKeyPress();
                // The modifier state is asked only when it matters: for the watched key going down.
                if (down && !key.ownKeystroke && key.virtualKey == source->m_thread->watchedHotkey().virtualKey)
                    key.held = hotkey::asyncCtrlAlt();
                if (source->m_thread->handleKeyEvent(key) &&
                    !PostThreadMessageW(GetCurrentThreadId(), hotkeyMessage, 0, 0))
                    writeDiagnosticLine("hotkey lost (" + lastError() + ")");
            }
        }
        const LRESULT result = CallNextHookEx(nullptr, code, wParam, lParam);
        if (source) {
            LARGE_INTEGER end;
            QueryPerformanceCounter(&end);
            source->m_thread->recordHandling(
                static_cast<qint64>(static_cast<double>(end.QuadPart - start.QuadPart) * source->m_nsPerTick));
        }
        return result;
    }

    // The hook procedure's way to its watcher: the system calls it on the thread that installed it.
    static thread_local OsEventSource *active;

    std::atomic<DWORD> m_threadId{0};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_looping{false};
    WindowsThread *m_thread = nullptr;
    double m_nsPerTick = 0;
};

thread_local WindowsThread::OsEventSource *WindowsThread::OsEventSource::active = nullptr;

std::unique_ptr<WindowsThread::EventSource> WindowsThread::newEventSource()
{
    return std::make_unique<OsEventSource>();
}

Qt::ConnectionType WindowsThread::captureConnection()
{
    return Qt::DirectConnection;
}
