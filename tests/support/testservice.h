#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QQueue>
#include <QString>
#include <QStringList>

class QTcpServer;
class QTcpSocket;

namespace testsupport {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// One answer of the TestService. Build it with one of the static functions and adjust it:
//     ScriptedReply::text("error")                        200, text/plain, body "error"
//     ScriptedReply::json(R"({"status":"valid"})")        200, application/json
//     ScriptedReply::text("", 404)                        an HTTP error status
//     ScriptedReply::text(QByteArray("key\0tail", 8))     any bytes, NUL included
//     ScriptedReply::redirect("http://elsewhere/")        302 with a Location header
//     ScriptedReply::silence()                            reads the request and never answers
//     ScriptedReply::hangUp()                             closes the connection without a byte
//     ScriptedReply::truncated("half")                    announces more than it sends, then closes
//     ScriptedReply::endless()                            a body with no length that never ends
//     ScriptedReply::text("late").after(200)              answers 200 ms after the request arrived
//     ScriptedReply::text("late").held()                  answers when the test calls releaseHeld()
struct ScriptedReply
{
    enum class Ending {
        Complete,  // status line, headers, the whole body, then the connection is closed
        Truncated, // Content-Length announces announcedLength bytes, only body is sent, then closed
        Endless,   // no Content-Length; the body repeats until the client goes away
        HangUp,    // the connection is closed at once, nothing is sent
        Silence    // nothing is sent and the connection stays open
    };

    int status = 200;
    HeaderList headers; // sent as given, after the status line and before Content-Length and Connection
    QByteArray body;
    int delayMs = 0;
    bool waitsForRelease = false;
    Ending ending = Ending::Complete;
    qint64 announcedLength = -1; // Truncated only

    static ScriptedReply text(const QByteArray &body, int status = 200);
    static ScriptedReply json(const QByteArray &body, int status = 200);
    static ScriptedReply redirect(const QByteArray &location, int status = 302);
    static ScriptedReply silence();
    static ScriptedReply hangUp();
    static ScriptedReply truncated(const QByteArray &sentPart);
    static ScriptedReply endless();

    ScriptedReply &after(int milliseconds);
    ScriptedReply &held();
    ScriptedReply &withHeader(const QByteArray &name, const QByteArray &value);
};

// A request as the TestService received it, nothing decoded but what the accessors below decode.
struct RecordedRequest
{
    QByteArray method;  // "GET"
    QByteArray target;  // exactly as on the wire: "/all/api.php?apikey=K&msg=Phone%20number..."
    QByteArray version; // "HTTP/1.1"
    HeaderList headers;

    QByteArray line() const;     // "GET /all/api.php?apikey=... HTTP/1.1"
    QByteArray path() const;     // the target up to the "?"
    QByteArray rawQuery() const; // the target after the "?", still encoded
    // The query as a service decodes it: split at "&", each item at its first "=", then key and value
    // percent-decoded as UTF-8 ("+" stays "+").
    QList<QPair<QString, QString>> queryItems() const;
    QStringList queryKeys() const;
    QString queryValue(const QString &key) const;    // the first item's value; a null QString when absent
    QByteArray header(const QByteArray &name) const; // case-insensitive; empty when absent
};

// An HTTP/1.1 server on 127.0.0.1 (an ephemeral port) inside the test process, standing in for the push
// service. It records every request and answers each one with a scripted reply, chosen in this order:
//     1. the next reply queued for the request's path   enqueue(path, reply)
//     2. the next reply queued for any path             enqueue(reply)
//     3. the reply set for the path                     setReply(path, reply)
//     4. the default reply                              setDefaultReply(reply); at first 200, empty body
// Every answer closes its connection ("Connection: close"), so each request comes on a connection of its own.
//
//     TestService service;
//     QVERIFY(service.isListening());
//     service.exportServiceUrl();                 // the program's requests now go to this service
//     service.setReply("/all/devices_app.php", ScriptedReply::json(R"({"status":"valid","devices":[]})"));
//     ... send ...
//     QVERIFY(service.waitForRequests(1));
//     QCOMPARE(service.lastRequest().target, QByteArray("/all/devices_app.php?apikey=no"));
class TestService final : public QObject
{
    Q_OBJECT

public:
    explicit TestService(QObject *parent = nullptr);
    ~TestService() override;

    bool isListening() const;
    quint16 port() const;
    // "http://127.0.0.1:<port>", the form of the program's service URL.
    QString url() const;
    // Points the program in this process at the service (the environment variable TAPVELA_SERVICE_URL);
    // the destructor removes it again if it still names this service. Child processes: insert url() into
    // their environment under that name.
    void exportServiceUrl();

    void setDefaultReply(const ScriptedReply &reply);
    void setReply(const QByteArray &path, const ScriptedReply &reply);
    void enqueue(const ScriptedReply &reply);
    void enqueue(const QByteArray &path, const ScriptedReply &reply);

    QList<RecordedRequest> requests() const;
    int requestCount() const;
    RecordedRequest lastRequest() const; // an empty record when none arrived
    void clearRequests();
    // Runs the event loop until at least count requests have arrived (since the start or the last
    // clearRequests) or timeoutMs have passed; true when they arrived. The bound is generous: under Wine a
    // window or message box that hides on the way costs two seconds of its own.
    bool waitForRequests(int count, int timeoutMs = 20000);
    // Body bytes written so far by Endless replies, all connections together.
    qint64 endlessBytesSent() const;
    // Answers every request whose reply was held, in the order they arrived; returns how many were answered.
    int releaseHeld();

signals:
    // Emitted once a request is complete, before it is answered; target is the raw request target.
    void requestReceived(const QByteArray &target);

private:
    void onNewConnection();
    void onRequest(QTcpSocket *socket, const RecordedRequest &request);
    ScriptedReply replyFor(const QByteArray &path);
    void answer(QTcpSocket *socket, const ScriptedReply &reply);
    void feedEndless(QTcpSocket *socket, const QByteArray &chunk);

    QTcpServer *m_server;
    ScriptedReply m_defaultReply;
    QHash<QByteArray, ScriptedReply> m_pathReplies;
    QHash<QByteArray, QQueue<ScriptedReply>> m_pathQueues;
    QQueue<ScriptedReply> m_queue;
    QList<RecordedRequest> m_requests;
    QList<QPair<QPointer<QTcpSocket>, ScriptedReply>> m_held;
    qint64 m_endlessBytes = 0;
    bool m_exported = false;
};

} // namespace testsupport
