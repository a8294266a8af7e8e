#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QWebSocket>

#include <functional>

// Debian's headless Chromium with one page open, driven through the DevTools protocol: the phone's side
// of the road, as a phone's browser would show it.
class Browser
{
public:
    Browser();
    ~Browser();

    // Starts Chromium, loads url in its page and returns once that document's load event has fired; false
    // (with the reason in error()) when it cannot. `arguments` go to Chromium beside the usual ones.
    bool open(const QString &url, const QStringList &arguments = {});
    // Evaluates a JavaScript expression in the page and returns its value, that of the promise it gives when it
    // gives one (null on failure).
    QJsonValue evaluate(const QString &expression);
    // Sends a DevTools command to the page's target and returns its result; an "error" member when refused.
    QJsonObject command(const QString &method, const QJsonObject &params = {});
    // The DevTools events received so far (after enabling their domain): {"method":…,"params":…}.
    QList<QJsonObject> events() const { return m_events; }
    // The parameters of the first event received so far or within timeoutMs that is method and that matches
    // accepts; an empty object when none came (error() then says which).
    QJsonObject waitForEvent(const QString &method, const std::function<bool(const QJsonObject &params)> &matches,
                             int timeoutMs);
    QString error() const { return m_error; }

private:
    QTemporaryDir m_profile;
    QProcess m_process;
    QWebSocket m_socket;
    int m_nextId = 1;
    QList<QJsonObject> m_events;
    QString m_error;
};
