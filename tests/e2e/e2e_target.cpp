// A window of another application holding a selected text, as the user would have it before pressing
// the hotkey.
#include <QApplication>
#include <QLineEdit>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QLineEdit edit;
    edit.setWindowTitle(QStringLiteral("tapvela e2e target"));
    edit.setText(argc > 1 ? QString::fromUtf8(argv[1]) : QString());
    edit.resize(400, 40);
    edit.show();
    edit.selectAll();
    edit.activateWindow();
    return QApplication::exec();
}
