#pragma once

#include <QJsonValue>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QWebSocket>

// Debian's headless Chromium with one page open, driven through the DevTools protocol: the phone's side
// of the road, as a phone's browser would show it.
class Browser
{
public:
    Browser();
    ~Browser();

    // Starts Chromium on url; false (with the reason in error()) when it cannot.
    bool open(const QString &url);
    // Evaluates a JavaScript expression in the page and returns its value (null on failure).
    QJsonValue evaluate(const QString &expression);
    QString error() const { return m_error; }

private:
    QTemporaryDir m_profile;
    QProcess m_process;
    QWebSocket m_socket;
    int m_nextId = 1;
    QString m_error;
};
