#pragma once

#include "hotkey/hotkeymatcher.h"

#include <QtGlobal>

#include <windows.h>

#include <functional>
#include <vector>

// Keyboard helpers of the Windows watcher thread.
namespace hotkey {

// The modifiers down now, by the system's asynchronous key state (Wine never sets LLKHF_ALTDOWN).
Modifiers asyncHeldModifiers();
// Only CTRL and ALT, side-less, as the hotkey needs them: two queries instead of eight, for the hook procedure.
Modifiers asyncCtrlAlt();

// Carried in dwExtraInfo by the keystrokes we send, so that the hook tells them from keys that other programs
// inject for the user.
constexpr ULONG_PTR ownKeystrokeMark = 0x74617076; // "tapv"

// Sends the keystrokes as one SendInput call, so that no key of the user comes between them; false when
// the system took fewer than all of them.
bool sendKeystrokes(const std::vector<Keystroke> &keystrokes);

// The watcher thread's message-only window, made by its loop: it owns what the capture puts on the clipboard
// and hears of every clipboard change (it is a clipboard format listener). Null on any other thread.
HWND watcherWindow();
void setWatcherWindow(HWND window);

// What the watcher's loop does with a clipboard change heard between captures (watcher thread only): the
// handler runs once, for the next change, and is then forgotten. An empty handler forgets the one set.
void setNextClipboardChangeHandler(std::function<void()> handler);
void clipboardChangedBetweenCaptures();

// Key presses of the user (any key but our own keystrokes) seen by the hook so far; any thread.
quint64 userKeyPresses();
void countUserKeyPress();

// Waits until done() holds or timeoutMs pass, serving the thread's low-level hook meanwhile (its calls
// arrive as sent messages) and dispatching the messages of window, if given. Other posted messages stay
// queued for the thread's own loop, and a WM_QUIT met on the way is posted again. Returns done().
bool serveHookUntil(int timeoutMs, HWND window, const std::function<bool()> &done);

} // namespace hotkey
