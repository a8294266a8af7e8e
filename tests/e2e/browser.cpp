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

bool Browser::open(const QString &url)
{
    // As root, in a closed network: no sandbox, no background traffic, a fresh profile.
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.start(QStringLiteral("chromium"),
                    {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"), QStringLiteral("--disable-gpu"),
                     QStringLiteral("--disable-quic"), QStringLiteral("--no-first-run"),
                     QStringLiteral("--disable-background-networking"), QStringLiteral("--disable-component-update"),
                     QStringLiteral("--disable-sync"), QStringLiteral("--remote-debugging-port=0"),
                     QStringLiteral("--user-data-dir=") + m_profile.path(), url});
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
        // Chromium may list a blank page of its own beside the one asked for.
        for (const QJsonValue &target : targets) {
            if (target[QStringLiteral("type")].toString() == QLatin1String("page") &&
                QUrl(target[QStringLiteral("url")].toString()) == QUrl(url))
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
    return true;
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
