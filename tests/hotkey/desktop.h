#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <memory>

class QProcess;

// The real desktop around the hotkey tests: keys pressed through the X server with xdotool (under Wine they
// reach the Wine window that has the focus), a window of the test holding a selection, and the clipboard.
namespace desktop {

// A display to test on: DISPLAY from the environment (the test script runs Xvfb).
bool hasDisplay();

// Runs xdotool with these arguments and waits for it; false when it could not run or failed.
bool xdotool(const QStringList &arguments);

// Starts xdotool with these arguments and returns at once, without waiting for it; for the benchmark, whose
// event loop must never sleep.
bool startXdotool(const QStringList &arguments);

// A window of this test holding a line of text: a QLineEdit on X11, a Win32 edit box on Windows.
class TargetWindow
{
public:
    TargetWindow();
    ~TargetWindow();
    TargetWindow(const TargetWindow &) = delete;
    TargetWindow &operator=(const TargetWindow &) = delete;

    bool isValid() const;
    // Sets the text, all of it selected, or none of it.
    void setText(const QString &text, bool selected);
    QString text() const;
    // Gives the window the keyboard focus through the X server, as a click would, and waits until the
    // window has it.
    bool focus();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Presses and releases a key with an injected event (SendInput); false where events cannot be injected.
bool injectKey(int virtualKey);

enum class ClipboardContent {
    Empty,
    Text,         // "abc", 8-bit text
    UnicodeText,  // text outside any 8-bit code page
    Image,        // an image and a private format beside it
    ForeignText,  // text offered by another program
    ForeignImage, // a PNG image offered by another program
};

// Fills the clipboard as a user's program would; false when it could not (or, for the foreign kinds, not on
// this platform).
bool fillClipboard(ClipboardContent content);

// Another program of the desktop takes the clipboard with this text, as a user's CTRL+C there would; returns once
// it holds the clipboard (on X11 it then serves it until another program takes it). False when it could not.
bool otherProgramCopies(const QString &text);

// Another program copies this text and keeps the clipboard open until the returned process gets a line on its
// standard input (Windows); null when it could not.
std::unique_ptr<QProcess> otherProgramHoldsClipboard(const QString &text);

// Starts target_app, an application of its own process holding this selection that copies copyDelayMs after
// CTRL+C, and gives it the keyboard focus; null when it could not. A test window in this process would see every
// key and clipboard event, which keeps this process's view of the display fresher than a real program's.
std::unique_ptr<QProcess> startTargetApp(const QString &selection, int copyDelayMs);

// The clipboard's text as another program reads it; empty when it holds none.
QString clipboardText();

// Every format of the clipboard with its bytes, as another program reads them.
QMap<QString, QByteArray> clipboardSnapshot();

// True when after holds every format of before with the same bytes (a program may offer more conversions of
// the same content), and is empty when before was.
bool keepsClipboard(const QMap<QString, QByteArray> &before, const QMap<QString, QByteArray> &after);

} // namespace desktop
