#pragma once

#include <QString>

#include <memory>
#include <optional>

// The user's clipboard around one capture: everything it holds is saved, the selection of the foreground
// application is copied through it, and what it held is put back. On Windows it is used on the watcher
// thread, on X11 on the GUI thread (the X clipboard is served by the event loop).
class Clipboard final
{
public:
    Clipboard();
    ~Clipboard();
    Clipboard(const Clipboard &) = delete;
    Clipboard &operator=(const Clipboard &) = delete;

    // Keeps every format of the clipboard (an empty clipboard is remembered as empty); false when the
    // clipboard could not be read, and then restore() leaves the clipboard alone.
    bool save();

    // Synthesises CTRL+C for the foreground application (releasing the modifiers the user still holds) and
    // returns the text it copied, or an empty text when the clipboard did not change within a second: then
    // nothing was selected. Nothing, and no key sent, when another program changed the clipboard since the save
    // and it could not be saved again.
    std::optional<QString> copySelection();

    // Puts back what save() found; false when the clipboard could not be written.
    bool restore();

private:
    struct State;
    // Windows: after a capture that saw no copy, hands the saved clipboard to the watcher's loop.
    void watchForLateCopy();

    std::unique_ptr<State> m_state;
};
