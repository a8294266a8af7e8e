#include "hotkey/windowsthread.h"

#include "app/diagnostics.h"

std::atomic<WindowsThread *> hotkeyWatcher{nullptr};

WindowsThread::WindowsThread()
{
    hotkeyWatcher = this;
}

WindowsThread::~WindowsThread()
{
    WindowsThread *self = this;
    hotkeyWatcher.compare_exchange_strong(self, nullptr);
}

void WindowsThread::applyHotkeyIndex(int) {}

void WindowsThread::stop()
{
    quit();
}

void WindowsThread::run()
{
    writeDiagnosticLine("lancement");
    exec();
    writeDiagnosticLine("fin");
}
