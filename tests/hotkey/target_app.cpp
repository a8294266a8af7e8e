// Another application of the desktop for the tests, in a process of its own as a user's application is: a line of
// text, all of it selected, that answers CTRL+C after the delay of its second argument (in ms; 0: at once, as
// usual). It writes "window <id>" once shown, and "copied" after each copy.

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QTimer>

#include <QElapsedTimer>

#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

class SlowLine final : public QLineEdit
{
public:
    explicit SlowLine(int delayMs) : m_delayMs(delayMs) {}

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        if (!event->matches(QKeySequence::Copy)) {
            QLineEdit::keyPressEvent(event);
            return;
        }
        if (m_delayMs == 0) {
            copy();
            std::printf("copied\n");
            std::fflush(stdout);
            return;
        }
        QTimer::singleShot(m_delayMs, this, [this] {
            copy();
            std::printf("copied\n");
            std::fflush(stdout);
        });
    }

private:
    int m_delayMs;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    if (argc != 3)
        return 2;
    SlowLine line(QByteArray(argv[2]).toInt());
    line.setText(QString::fromLocal8Bit(argv[1]));
    line.selectAll();
    line.resize(300, 40);
    line.move(100, 500);
    line.show();
    line.activateWindow();
    unsigned long long window = line.winId();
#ifdef Q_OS_WIN
    // xdotool needs the X window that Wine maps for it, a moment after the show.
    const auto hwnd = reinterpret_cast<HWND>(line.winId());
    QElapsedTimer clock;
    clock.start();
    while (!GetPropW(hwnd, L"__wine_x11_whole_window") && clock.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    window = reinterpret_cast<quintptr>(GetPropW(hwnd, L"__wine_x11_whole_window"));
    SetForegroundWindow(hwnd);
#endif
    std::printf("window %llu\n", window);
    std::fflush(stdout);
    return application.exec();
}
