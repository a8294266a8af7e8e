// Another application of the desktop for the tests, in a process of its own as a user's application is: a line of
// text, all of it selected, that answers CTRL+C after the delay of its second argument (in ms; 0: at once, as
// usual). It writes "window <id>" once shown, and "copied" after each copy.

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLineEdit>
#include <QTimer>

#include <cstdio>

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
    std::printf("window %llu\n", static_cast<unsigned long long>(line.winId()));
    std::fflush(stdout);
    return application.exec();
}
