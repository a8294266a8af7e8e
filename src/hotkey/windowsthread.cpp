#include "hotkey/windowsthread.h"

#include "app/diagnostics.h"
#include "hotkey/capture.h"

#include <QMetaMethod>

#include <chrono>
#include <utility>

WindowsThread::WindowsThread() : m_source(newEventSource())
{
    qRegisterMetaType<NumberSearch>(); // numberNotFound crosses threads on Windows
    connect(this, &WindowsThread::hotkeyPressed, this, &WindowsThread::capture, captureConnection());
}

WindowsThread::~WindowsThread() = default;

void WindowsThread::setCaptureCondition(std::function<bool()> condition)
{
    m_captureCondition = std::move(condition);
}

void WindowsThread::capture()
{
    // The push belongs to the settings window of the signed-in user: without one listening, or when it could not
    // push, nothing is captured.
    if (!isSignalConnected(QMetaMethod::fromSignal(&WindowsThread::selectionCaptured)))
        return;
    if (m_captureCondition && !m_captureCondition())
        return;
    const std::optional<NumberSearch> outcome = hotkey::captureSelection([this](const QString &number) {
        emit selectionCaptured(number);
        emit createSendingWindow();
    });
    if (outcome && *outcome != NumberSearch::Found)
        emit numberNotFound(*outcome);
}

void WindowsThread::applyHotkeyIndex(int index)
{
    m_matcher.applyHotkeyIndex(index);
}

hotkey::Hotkey WindowsThread::watchedHotkey() const
{
    return m_matcher.watched();
}

WindowsThread::State WindowsThread::state() const
{
    return static_cast<State>(m_state.load());
}

void WindowsThread::setState(State state)
{
    m_state.store(static_cast<int>(state));
}

WindowsThread::Statistics WindowsThread::statistics() const
{
    Statistics figures;
    figures.keyEvents = m_keyEvents.load();
    figures.hotkeys = m_hotkeys.load();
    figures.longestNs = m_longestNs.load();
    figures.totalNs = m_totalNs.load();
    figures.lastHotkeyAtNs = m_lastHotkeyAtNs.load();
    return figures;
}

qint64 WindowsThread::steadyNowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool WindowsThread::handleKeyEvent(const hotkey::KeyEvent &event)
{
    const bool fired = m_matcher.keyEvent(event);
    if (fired) {
        m_hotkeys.fetch_add(1);
        m_lastHotkeyAtNs.store(steadyNowNs());
    }
    // Counted last: whoever sees the event counted sees its hotkey counted too.
    m_keyEvents.fetch_add(1);
    return fired;
}

void WindowsThread::recordHandling(qint64 nanoseconds)
{
    m_totalNs.fetch_add(nanoseconds);
    qint64 longest = m_longestNs.load();
    while (nanoseconds > longest && !m_longestNs.compare_exchange_weak(longest, nanoseconds))
        ;
}

void WindowsThread::stop()
{
    m_source->wake();
}

void WindowsThread::run()
{
    writeDiagnosticLine("lancement");
    m_source->run(*this);
    if (state() != State::Unavailable)
        setState(State::Finished);
    writeDiagnosticLine("fin");
}
