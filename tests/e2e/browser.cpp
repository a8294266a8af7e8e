#include "browser.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QTimer>

namespace {

QByteArray httpGet(const QUrl &url)
{
    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setTransferTimeout(5000);
    QNetworkReply *reply = manager.get(request);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const QByteArray body = reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
    reply->deleteLater();
    return body;
}

} // namespace

Browser::Browser() = default;

Browser::~Browser()
{
    m_socket.abort();
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(3000))
            m_process.kill();
        m_process.waitForFinished(3000);
    }
}

bool Browser::open(const QString &url, const QStringList &arguments)
{
    // As root, in a closed network: no sandbox, no background traffic, a fresh profile. Chromium starts on a
    // blank page and is sent to url once connected: a target that already names url may still show its initial
    // empty document, and a command sent then would be answered by that document.
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.start(QStringLiteral("chromium"),
                    QStringList{QStringLiteral("--headless"), QStringLiteral("--no-sandbox"),
                                QStringLiteral("--disable-gpu"), QStringLiteral("--disable-quic"),
                                QStringLiteral("--no-first-run"), QStringLiteral("--disable-background-networking"),
                                QStringLiteral("--disable-component-update"), QStringLiteral("--disable-sync"),
                                QStringLiteral("--remote-debugging-port=0"),
                                QStringLiteral("--user-data-dir=") + m_profile.path()} +
                        arguments + QStringList{QStringLiteral("about:blank")});
    if (!m_process.waitForStarted(10000)) {
        m_error = QStringLiteral("chromium did not start: ") + m_process.errorString();
        return false;
    }
    // Chromium names its DevTools port on standard error.
    QByteArray seen;
    QElapsedTimer clock;
    clock.start();
    const QRegularExpression pattern(QStringLiteral("DevTools listening on ws://127\\.0\\.0\\.1:(\\d+)/"));
    QRegularExpressionMatch match;
    while (clock.elapsed() < 30000) {
        m_process.waitForReadyRead(200);
        seen += m_process.readAllStandardError();
        match = pattern.match(QString::fromUtf8(seen));
        if (match.hasMatch())
            break;
        if (m_process.state() == QProcess::NotRunning)
            break;
    }
    if (!match.hasMatch()) {
        m_error = QStringLiteral("no DevTools port from chromium: ") + QString::fromUtf8(seen);
        return false;
    }
    const QString port = match.captured(1);
    QString pageSocket;
    while (pageSocket.isEmpty() && clock.elapsed() < 30000) {
        const QJsonArray targets =
            QJsonDocument::fromJson(httpGet(QUrl(QStringLiteral("http://127.0.0.1:%1/json/list").arg(port)))).array();
        // Chromium lists targets of its own user interface beside the page.
        for (const QJsonValue &target : targets) {
            if (target[QStringLiteral("type")].toString() == QLatin1String("page") &&
                target[QStringLiteral("url")].toString() == QLatin1String("about:blank"))
                pageSocket = target[QStringLiteral("webSocketDebuggerUrl")].toString();
        }
    }
    if (pageSocket.isEmpty()) {
        m_error = QStringLiteral("chromium shows no page");
        return false;
    }
    QObject::connect(&m_socket, &QWebSocket::textMessageReceived, [this](const QString &text) {
        const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
        if (message.contains(QStringLiteral("method")))
            m_events << message;
    });
    QEventLoop loop;
    QObject::connect(&m_socket, &QWebSocket::connected, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    m_socket.open(QUrl(pageSocket));
    loop.exec();
    if (m_socket.state() != QAbstractSocket::ConnectedState) {
        m_error = QStringLiteral("cannot reach the page's DevTools socket");
        return false;
    }

    // The load event of the document that this navigation commits, told apart from the blank one's by its loader.
    const QList<QPair<QString, QJsonObject>> setup{
        {QStringLiteral("Page.enable"), {}},
        {QStringLiteral("Page.setLifecycleEventsEnabled"), {{QStringLiteral("enabled"), true}}}};
    for (const auto &[method, params] : setup) {
        const QJsonObject answer = command(method, params);
        if (answer.contains(QStringLiteral("error"))) {
            m_error = method + QStringLiteral(" refused: ") + QJsonDocument(answer).toJson(QJsonDocument::Compact);
            return false;
        }
    }
    const QJsonObject navigation = command(QStringLiteral("Page.navigate"), {{QStringLiteral("url"), url}});
    const QString loader = navigation[QStringLiteral("loaderId")].toString();
    if (navigation.contains(QStringLiteral("error")) || navigation.contains(QStringLiteral("errorText")) ||
        loader.isEmpty()) {
        m_error = QStringLiteral("chromium did not load ") + url + QStringLiteral(": ") +
                  QJsonDocument(navigation).toJson(QJsonDocument::Compact);
        return false;
    }
    const QJsonObject loaded = waitForEvent(
        QStringLiteral("Page.lifecycleEvent"),
        [&](const QJsonObject &params) {
            return params[QStringLiteral("loaderId")] == loader &&
                   params[QStringLiteral("name")] == QLatin1String("load");
        },
        30000);
    if (loaded.isEmpty()) {
        m_error = QStringLiteral("the page's load event did not fire: ") + m_error;
        return false;
    }
    return true;
}

QJsonObject Browser::waitForEvent(const QString &method, const std::function<bool(const QJsonObject &)> &matches,
                                  int timeoutMs)
{
    int seen = 0;
    const auto find = [&]() -> QJsonObject {
        for (; seen < m_events.size(); ++seen) {
            const QJsonObject params = m_events.at(seen)[QStringLiteral("params")].toObject();
            if (m_events.at(seen)[QStringLiteral("method")] == method && matches(params))
                return params;
        }
        return {};
    };
    QJsonObject found = find();
    if (!found.isEmpty())
        return found;
    // The recording handler connected in open() runs before this one, so the new event is in m_events here.
    QEventLoop loop;
    const QMetaObject::Connection connection =
        QObject::connect(&m_socket, &QWebSocket::textMessageReceived, &loop, [&] {
            found = find();
            if (!found.isEmpty())
                loop.quit();
        });
    const QMetaObject::Connection closed =
        QObject::connect(&m_socket, &QWebSocket::disconnected, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(connection);
    QObject::disconnect(closed);
    if (found.isEmpty())
        m_error = QStringLiteral("no matching %1 within %2 ms%3")
                      .arg(method)
                      .arg(timeoutMs)
                      .arg(m_socket.state() == QAbstractSocket::ConnectedState
                               ? QString()
                               : QStringLiteral(" (the DevTools socket closed)"));
    return found;
}

QJsonValue Browser::evaluate(const QString &expression)
{
    const QJsonObject answer = command(QStringLiteral("Runtime.evaluate"), {{QStringLiteral("expression"), expression},
                                                                            {QStringLiteral("returnByValue"), true},
                                                                            {QStringLiteral("awaitPromise"), true}});
    return answer[QStringLiteral("result")].toObject()[QStringLiteral("value")];
}

QJsonObject Browser::command(const QString &method, const QJsonObject &params)
{
    const int id = m_nextId++;
    const QJsonObject message{
        {QStringLiteral("id"), id}, {QStringLiteral("method"), method}, {QStringLiteral("params"), params}};
    QJsonObject result{{QStringLiteral("error"), QStringLiteral("no answer")}};
    QEventLoop loop;
    const QMetaObject::Connection connection =
        QObject::connect(&m_socket, &QWebSocket::textMessageReceived, &loop, [&](const QString &text) {
            const QJsonObject answer = QJsonDocument::fromJson(text.toUtf8()).object();
            if (answer[QStringLiteral("id")].toInt() != id)
                return;
            result = answer.contains(QStringLiteral("error"))
                         ? QJsonObject{{QStringLiteral("error"), answer[QStringLiteral("error")]}}
                         : answer[QStringLiteral("result")].toObject();
            loop.quit();
        });
    // Generous: a loaded machine slows Chromium down, and only a lost answer waits this long.
    QTimer::singleShot(15000, &loop, &QEventLoop::quit);
    m_socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
    loop.exec();
    QObject::disconnect(connection);
    return result;
}
