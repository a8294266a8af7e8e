#include "support/testservice.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>
#include <utility>

namespace testsupport {

namespace {

constexpr qint64 endlessChunkBytes = 64 * 1024;
// An endless body stops here all the same, so that a client that never aborts cannot fill the disk or
// keep the test running for ever.
constexpr qint64 endlessSafetyBytes = 256 * 1024 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

QString decoded(const QByteArray &encoded)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(encoded));
}

// Takes one complete request off the front of buffer; false while the request is still incomplete.
bool takeRequest(QByteArray &buffer, RecordedRequest &request)
{
    const int headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return false;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    RecordedRequest parsed;
    const QByteArray requestLine = lines.value(0).trimmed();
    const int firstSpace = requestLine.indexOf(' ');
    const int lastSpace = requestLine.lastIndexOf(' ');
    parsed.method = requestLine.left(firstSpace);
    parsed.target = requestLine.mid(firstSpace + 1, lastSpace - firstSpace - 1);
    parsed.version = requestLine.mid(lastSpace + 1);
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon > 0)
            parsed.headers.append(qMakePair(line.left(colon).trimmed(), line.mid(colon + 1).trimmed()));
    }
    const qint64 bodyLength = parsed.header("Content-Length").toLongLong();
    if (buffer.size() < headEnd + 4 + bodyLength)
        return false;
    buffer.remove(0, static_cast<int>(headEnd + 4 + bodyLength));
    request = parsed;
    return true;
}

ScriptedReply withBody(const QByteArray &body, int status, const QByteArray &contentType)
{
    ScriptedReply reply;
    reply.status = status;
    reply.body = body;
    reply.withHeader("Content-Type", contentType);
    return reply;
}

} // namespace

ScriptedReply ScriptedReply::text(const QByteArray &body, int status)
{
    return withBody(body, status, "text/plain; charset=utf-8");
}

ScriptedReply ScriptedReply::json(const QByteArray &body, int status)
{
    return withBody(body, status, "application/json");
}

ScriptedReply ScriptedReply::redirect(const QByteArray &location, int status)
{
    ScriptedReply reply;
    reply.status = status;
    reply.withHeader("Location", location);
    return reply;
}

ScriptedReply ScriptedReply::silence()
{
    ScriptedReply reply;
    reply.ending = Ending::Silence;
    return reply;
}

ScriptedReply ScriptedReply::hangUp()
{
    ScriptedReply reply;
    reply.ending = Ending::HangUp;
    return reply;
}

ScriptedReply ScriptedReply::truncated(const QByteArray &sentPart)
{
    ScriptedReply reply = text(sentPart);
    reply.ending = Ending::Truncated;
    reply.announcedLength = 2 * sentPart.size() + 1;
    return reply;
}

ScriptedReply ScriptedReply::endless()
{
    ScriptedReply reply = text(QByteArray(endlessChunkBytes, 'x'));
    reply.ending = Ending::Endless;
    return reply;
}

ScriptedReply &ScriptedReply::after(int milliseconds)
{
    delayMs = milliseconds;
    return *this;
}

ScriptedReply &ScriptedReply::held()
{
    waitsForRelease = true;
    return *this;
}

ScriptedReply &ScriptedReply::withHeader(const QByteArray &name, const QByteArray &value)
{
    headers.append(qMakePair(name, value));
    return *this;
}

QByteArray RecordedRequest::line() const
{
    return method + ' ' + target + ' ' + version;
}

QByteArray RecordedRequest::path() const
{
    const int question = target.indexOf('?');
    return question < 0 ? target : target.left(question);
}

QByteArray RecordedRequest::rawQuery() const
{
    const int question = target.indexOf('?');
    return question < 0 ? QByteArray() : target.mid(question + 1);
}

QList<QPair<QString, QString>> RecordedRequest::queryItems() const
{
    QList<QPair<QString, QString>> items;
    const QByteArray query = rawQuery();
    if (query.isEmpty())
        return items;
    for (const QByteArray &item : query.split('&')) {
        const int equals = item.indexOf('=');
        if (equals < 0)
            items.append({decoded(item), QString()});
        else
            items.append({decoded(item.left(equals)), decoded(item.mid(equals + 1))});
    }
    return items;
}

QStringList RecordedRequest::queryKeys() const
{
    QStringList keys;
    for (const auto &item : queryItems())
        keys.append(item.first);
    return keys;
}

QString RecordedRequest::queryValue(const QString &key) const
{
    for (const auto &item : queryItems()) {
        if (item.first == key)
            return item.second.isNull() ? QStringLiteral("") : item.second;
    }
    return QString();
}

QByteArray RecordedRequest::header(const QByteArray &name) const
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return QByteArray();
}

TestService::TestService(QObject *parent) : QObject(parent), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &TestService::onNewConnection);
    m_server->listen(QHostAddress::LocalHost, 0);
}

TestService::~TestService()
{
    if (m_exported && qEnvironmentVariable("TAPVELA_SERVICE_URL") == url())
        qunsetenv("TAPVELA_SERVICE_URL");
}

bool TestService::isListening() const
{
    return m_server->isListening();
}

quint16 TestService::port() const
{
    return m_server->serverPort();
}

QString TestService::url() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void TestService::exportServiceUrl()
{
    qputenv("TAPVELA_SERVICE_URL", url().toUtf8());
    m_exported = true;
}

void TestService::setDefaultReply(const ScriptedReply &reply)
{
    m_defaultReply = reply;
}

void TestService::setReply(const QByteArray &path, const ScriptedReply &reply)
{
    m_pathReplies.insert(path, reply);
}

void TestService::enqueue(const ScriptedReply &reply)
{
    m_queue.enqueue(reply);
}

void TestService::enqueue(const QByteArray &path, const ScriptedReply &reply)
{
    m_pathQueues[path].enqueue(reply);
}

QList<RecordedRequest> TestService::requests() const
{
    return m_requests;
}

int TestService::requestCount() const
{
    return m_requests.size();
}

RecordedRequest TestService::lastRequest() const
{
    return m_requests.isEmpty() ? RecordedRequest() : m_requests.last();
}

void TestService::clearRequests()
{
    m_requests.clear();
}

bool TestService::waitForRequests(int count, int timeoutMs)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (m_requests.size() < count) {
        const qint64 left = timeoutMs - elapsed.elapsed();
        if (left <= 0)
            return false;
        QEventLoop loop;
        QTimer deadline;
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(this, &TestService::requestReceived, &loop, &QEventLoop::quit);
        deadline.start(static_cast<int>(left));
        loop.exec();
    }
    return true;
}

qint64 TestService::endlessBytesSent() const
{
    return m_endlessBytes;
}

int TestService::releaseHeld()
{
    int answered = 0;
    const auto held = std::exchange(m_held, {});
    for (const auto &each : held) {
        if (each.first && each.first->state() == QAbstractSocket::ConnectedState) {
            answer(each.first, each.second);
            ++answered;
        }
    }
    return answered;
}

void TestService::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        auto buffer = std::make_shared<QByteArray>();
        auto answered = std::make_shared<bool>(false);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer, answered] {
            buffer->append(socket->readAll());
            RecordedRequest request;
            // One request per connection: anything after the first is read and ignored.
            if (*answered || !takeRequest(*buffer, request))
                return;
            *answered = true;
            onRequest(socket, request);
        });
    }
}

void TestService::onRequest(QTcpSocket *socket, const RecordedRequest &request)
{
    m_requests.append(request);
    const ScriptedReply reply = replyFor(request.path());
    emit requestReceived(request.target);
    if (reply.waitsForRelease) {
        m_held.append({QPointer<QTcpSocket>(socket), reply});
    } else if (reply.delayMs > 0) {
        QPointer<QTcpSocket> guarded(socket);
        QTimer::singleShot(reply.delayMs, this, [this, guarded, reply] {
            if (guarded && guarded->state() == QAbstractSocket::ConnectedState)
                answer(guarded, reply);
        });
    } else {
        answer(socket, reply);
    }
}

ScriptedReply TestService::replyFor(const QByteArray &path)
{
    auto pathQueue = m_pathQueues.find(path);
    if (pathQueue != m_pathQueues.end() && !pathQueue->isEmpty())
        return pathQueue->dequeue();
    if (!m_queue.isEmpty())
        return m_queue.dequeue();
    return m_pathReplies.value(path, m_defaultReply);
}

void TestService::answer(QTcpSocket *socket, const ScriptedReply &reply)
{
    using Ending = ScriptedReply::Ending;
    if (reply.ending == Ending::Silence)
        return;
    if (reply.ending == Ending::HangUp) {
        socket->disconnectFromHost();
        return;
    }
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status) + "\r\n";
    for (const auto &header : reply.headers)
        head += header.first + ": " + header.second + "\r\n";
    if (reply.ending == Ending::Truncated)
        head += "Content-Length: " + QByteArray::number(reply.announcedLength) + "\r\n";
    else if (reply.ending == Ending::Complete)
        head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head);
    if (reply.ending == Ending::Endless) {
        const QByteArray chunk = reply.body.isEmpty() ? QByteArray(endlessChunkBytes, 'x') : reply.body;
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket, chunk] { feedEndless(socket, chunk); });
        feedEndless(socket, chunk);
        return;
    }
    socket->write(reply.body);
    socket->disconnectFromHost();
}

void TestService::feedEndless(QTcpSocket *socket, const QByteArray &chunk)
{
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (m_endlessBytes >= endlessSafetyBytes) {
        socket->disconnectFromHost();
        return;
    }
    // Keep a few chunks in flight: enough to stream fast, little enough to notice the client going away.
    while (socket->bytesToWrite() < 4 * chunk.size()) {
        socket->write(chunk);
        m_endlessBytes += chunk.size();
    }
}

} // namespace testsupport
