#include "hotkey/keyboard_win.h"

#include "app/diagnostics.h"

#include <QDeadlineTimer>

#include <atomic>

namespace hotkey {

namespace {

bool isDown(int virtualKey)
{
    return (GetAsyncKeyState(virtualKey) & 0x8000) != 0;
}

bool isExtendedKey(int virtualKey)
{
    return virtualKey == vk::rightControl || virtualKey == vk::rightMenu || virtualKey == vk::leftWin ||
           virtualKey == vk::rightWin;
}

} // namespace

namespace {
thread_local HWND threadWindow = nullptr;
thread_local std::function<void()> nextClipboardChange;
std::atomic<quint64> userPresses{0};
} // namespace

void setNextClipboardChangeHandler(std::function<void()> handler)
{
    nextClipboardChange = std::move(handler);
}

void clipboardChangedBetweenCaptures()
{
    const std::function<void()> handler = std::move(nextClipboardChange);
    nextClipboardChange = nullptr;
    if (handler)
        handler();
}

quint64 userKeyPresses()
{
    return userPresses.load();
}

void countUserKeyPress()
{
    userPresses.fetch_add(1);
}

HWND watcherWindow()
{
    return threadWindow;
}

void setWatcherWindow(HWND window)
{
    threadWindow = window;
}

Modifiers asyncHeldModifiers()
{
    unsigned keys = 0;
    const struct
    {
        int virtualKey;
        Modifiers::Key key;
    } modifiers[] = {
        {vk::leftControl, Modifiers::LeftCtrl}, {vk::rightControl, Modifiers::RightCtrl},
        {vk::leftMenu, Modifiers::LeftAlt},     {vk::rightMenu, Modifiers::RightAlt},
        {vk::leftShift, Modifiers::LeftShift},  {vk::rightShift, Modifiers::RightShift},
        {vk::leftWin, Modifiers::LeftMeta},     {vk::rightWin, Modifiers::RightMeta},
    };
    for (const auto &modifier : modifiers) {
        if (isDown(modifier.virtualKey))
            keys |= modifier.key;
    }
    return Modifiers(keys);
}

Modifiers asyncCtrlAlt()
{
    return Modifiers((isDown(vk::control) ? unsigned(Modifiers::LeftCtrl) : 0u) |
                     (isDown(vk::menu) ? unsigned(Modifiers::LeftAlt) : 0u));
}

bool sendKeystrokes(const std::vector<Keystroke> &keystrokes)
{
    std::vector<INPUT> inputs(keystrokes.size());
    for (size_t i = 0; i < keystrokes.size(); ++i) {
        INPUT &input = inputs[i];
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = static_cast<WORD>(keystrokes[i].virtualKey);
        // Some applications read the scan code rather than the virtual key.
        input.ki.wScan = static_cast<WORD>(MapVirtualKeyW(keystrokes[i].virtualKey, MAPVK_VK_TO_VSC));
        input.ki.dwFlags = (keystrokes[i].down ? 0 : KEYEVENTF_KEYUP) |
                           (isExtendedKey(keystrokes[i].virtualKey) ? KEYEVENTF_EXTENDEDKEY : 0);
        input.ki.time = 0;
        input.ki.dwExtraInfo = ownKeystrokeMark;
    }
    const UINT sent = SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    if (sent != inputs.size()) {
        writeDiagnosticLine("copy keystrokes not sent (error " + QByteArray::number(quint32(GetLastError())) + ")");
        return false;
    }
    return true;
}

bool serveHookUntil(int timeoutMs, HWND window, const std::function<bool()> &done)
{
    QDeadlineTimer deadline(timeoutMs);
    bool quit = false;
    WPARAM quitCode = 0;
    while (!done()) {
        const qint64 left = deadline.remainingTime();
        if (left == 0)
            break;
        if (MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(left), QS_ALLINPUT, 0) == WAIT_FAILED) {
            writeDiagnosticLine("waiting for the clipboard failed (error " +
                                QByteArray::number(quint32(GetLastError())) + ")");
            break;
        }
        MSG message;
        // Runs the pending hook calls and other sent messages, and takes nothing out of the queue.
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        while (window && PeekMessageW(&message, window, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quit = true;
                quitCode = message.wParam;
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    if (quit)
        PostQuitMessage(static_cast<int>(quitCode));
    return done();
}

} // namespace hotkey
