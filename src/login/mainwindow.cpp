#include "login/mainwindow.h"

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("tapvela - login"));
}

MainWindow::~MainWindow() = default;
