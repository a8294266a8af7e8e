// Presses the hotkey again and again against a window holding a selection, and reports how long the road from
// the press to the push request's arrival at the test service takes. With "interleaved", another program takes
// the clipboard before each press, 0 to 500 ms before it, and the misses and wrong numbers are counted. On X11 the
// selection is held by an application of its own process, as a user's is. Not a test: run-bench.sh runs it.

#include "app/config.h"
#include "desktop.h"
#include "desktop/desktopcontroller.h"
#include "hotkey/windowsthread.h"
#include "support/testservice.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QtTest>

#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

double percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const auto position = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(position, values.size() - 1)];
}

// Runs the event loop, without ever sleeping, until ready() holds after a signal of the service, or timeoutMs.
template <typename Ready> bool waitForService(testsupport::TestService &service, Ready ready, int timeoutMs)
{
    if (ready())
        return true;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(
        &service, &testsupport::TestService::requestReceived, &loop,
        [&loop, &ready] {
            if (ready())
                loop.quit();
        },
        Qt::QueuedConnection);
    timer.start(timeoutMs);
    if (!ready())
        loop.exec();
    return ready();
}

void pause(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

int fail(const char *what)
{
    std::fprintf(stderr, "benchmark: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const int presses = argc > 1 ? QByteArray(argv[1]).toInt() : 50;
    const bool interleaved = argc > 2 && QByteArray(argv[2]) == "interleaved";
    if (presses < 1)
        return fail("the number of presses must be positive");
    if (!desktop::hasDisplay())
        return fail("DISPLAY is not set");

    testsupport::TestService service;
    if (!service.isListening())
        return fail("the test service does not listen");
    service.exportServiceUrl();
    service.setReply("/all/devices_app.php",
                     testsupport::ScriptedReply::json(R"({"status":"valid","devices":[{"id":"dev-1","name":"P"}]})"));
    service.setReply("/all/api.php", testsupport::ScriptedReply::json(R"({"status":"valid"})"));
    // The service answers on a thread of its own, as a real one would: the indicator that the GUI thread shows
    // right after the request must not delay its arrival.
    std::atomic<qint64> receivedAtNs{0};
    std::atomic<int> pushes{0};
    std::atomic<int> wrongNumbers{0};
    QObject::connect(&service, &testsupport::TestService::requestReceived, [&](const QByteArray &target) {
        receivedAtNs = WindowsThread::steadyNowNs();
        if (target.startsWith("/all/api.php")) {
            if (!target.endsWith("extra=tel:%2B33612345678"))
                ++wrongNumbers;
            ++pushes;
        }
    });
    std::atomic<int> devices{0};
    QObject::connect(&service, &testsupport::TestService::requestReceived, [&devices](const QByteArray &target) {
        if (target.startsWith("/all/devices_app.php"))
            ++devices;
    });
    QThread serviceThread;
    service.moveToThread(&serviceThread);
    serviceThread.start();

    const QString configPath = configFilePath();
    QFile::remove(configPath);
    {
        QSettings config(configPath, QSettings::IniFormat);
        config.setValue(QStringLiteral("apikey"), QStringLiteral("K-bench"));
        config.setValue(QStringLiteral("id"), QStringLiteral("dev-1"));
        config.setValue(QStringLiteral("key"), QStringLiteral("10"));
    }

    auto desktopController = std::make_unique<DesktopController>();
    WindowsThread &watcher = desktopController->watcher();
    watcher.start();
    if (!QTest::qWaitFor([&watcher] { return watcher.state() == WindowsThread::State::Watching; }, 10000))
        return fail("the watcher does not watch");
    int status = 0;
    {
        desktopController->makeSettingsWindow();
        const QString selection = QStringLiteral("+33 6 12 34 56 78");
        desktop::TargetWindow target;
        std::unique_ptr<QProcess> app;
        bool focused = false;
#ifdef Q_OS_WIN
        target.setText(selection, true);
        focused = target.isValid() && target.focus();
#else
        app = desktop::startTargetApp(selection, 0);
        focused = app != nullptr;
#endif
        if (!waitForService(
                service, [&devices] { return devices > 0; }, 5000) ||
            !focused) {
            status = fail("no target window with the focus");
        }

        std::vector<double> latencies;
        int misses = 0;
        for (int press = 0; press < presses && status == 0; ++press) {
            if (interleaved) {
                const QString other = QStringLiteral("07 00 00 %1").arg(press % 10000, 4, 10, QLatin1Char('0'));
                if (!desktop::otherProgramCopies(other)) {
                    status = fail("the other program could not take the clipboard");
                    break;
                }
                pause(int(QRandomGenerator::global()->bounded(501)));
            }
            const int before = pushes;
            if (!desktop::startXdotool({QStringLiteral("key"), QStringLiteral("F11")})) {
                status = fail("xdotool did not start");
                break;
            }
            if (!waitForService(
                    service, [&] { return pushes > before; }, 5000)) {
                ++misses;
                continue;
            }
            latencies.push_back(double(receivedAtNs - watcher.statistics().lastHotkeyAtNs) / 1e6);
            // Lets the capture put the clipboard back, and paces the presses as a person would.
            pause(200);
        }
        if (app) {
            app->kill();
            app->waitForFinished();
        }
        if (status == 0) {
            std::printf("clipboard activity before each press: %s\n", interleaved ? "yes (0 to 500 ms)" : "no");
            std::printf("misses: %d of %d, wrong numbers: %d\n", misses, presses, int(wrongNumbers));
        }
        if (latencies.empty() && status == 0)
            status = fail("no press brought a push");
        if (status == 0) {
            const WindowsThread::Statistics figures = watcher.statistics();
            std::printf("presses: %d\n", presses);
            std::printf("hotkey seen -> push request received: median %.1f ms, 95th percentile %.1f ms, "
                        "longest %.1f ms\n",
                        percentile(latencies, 0.5), percentile(latencies, 0.95), percentile(latencies, 1.0));
            std::printf("key event handling (the whole hook procedure on Windows): longest %.3f ms, mean %.1f us "
                        "over %llu events\n",
                        double(figures.longestNs) / 1e6,
                        figures.keyEvents ? double(figures.totalNs) / 1e3 / double(figures.keyEvents) : 0.0,
                        figures.keyEvents);
        }
    }
    // Stops the watcher and waits for it, then takes the window down.
    desktopController.reset();
    QMetaObject::invokeMethod(
        &service, [&service] { service.moveToThread(QCoreApplication::instance()->thread()); },
        Qt::BlockingQueuedConnection);
    serviceThread.quit();
    serviceThread.wait();
    QFile::remove(configPath);
    return status;
}
