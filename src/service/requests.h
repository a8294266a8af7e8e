#pragma once

#include <QBitArray>
#include <QByteArray>
#include <QJsonArray>
#include <QJsonValue>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// The conversation with the push service: GET requests whose query carries every value, and the
// rules by which their replies are read. Everything here but sendRequest is pure.
namespace service {

// The service's base URL, such as "https://push.example.org", no trailing slash. The first of: the environment
// variable TAPVELA_SERVICE_URL (tests, administrators), the address the user chose (config.ini's `server`), an
// administrator's default (`server` in a config.ini of the system's configuration folders, such as
// /etc/xdg/tapvela/config.ini), the one the program was built with.
QString baseUrl();
// True when TAPVELA_SERVICE_URL decides, whatever config.ini says.
bool serviceUrlFromEnvironment();
// The address without the environment variable: the one a change in the login window affects.
QString configuredServiceUrl();
QString defaultServiceUrl();

// SHA-1 of the UTF-8 password as 40 lowercase hexadecimal digits: the only form in which the password
// leaves the program.
QString passwordDigest(const QString &password);

// Each value is percent-encoded as a whole (only RFC 3986 unreserved characters stay literal), so that
// "&", "=", "+", "#" in a value never change the request.
QUrl loginUrl(const QString &username, const QString &password);
QUrl devicesUrl(const QString &apiKey);
QUrl setNameUrl(const QString &apiKey, const QString &id, const QString &name);
// Pairing a phone: a new device of the account named name, and the page of an existing device; each answer
// carries the device's page address and its QR code.
QUrl addDeviceUrl(const QString &apiKey, const QString &name);
QUrl devicePageUrl(const QString &apiKey, const QString &id);
// number is the cleaned number, with its leading "+" when the selection held one ("+33612345678").
QUrl pushUrl(const QString &apiKey, bool french, const QString &deviceId, const QString &number);

// "Phone number : " or "Numéro de téléphone : " followed by the number.
QString pushMessage(bool french, const QString &number);

constexpr int transferTimeoutMs = 30000;
constexpr qint64 maxReplyBytes = 1024 * 1024;

// The Accept-Language the requests carry, so that the service words its messages in the program's language.
QByteArray acceptLanguage(bool french);

// Sends a GET carrying the URL and the Accept-Language of the interface, with a transfer time-out (no data for
// timeoutMs ends the request) and redirects left unfollowed; a reply whose body passes maxReplyBytes is aborted,
// and so finishes with an error. The reply reaches the manager's finished signal; the returned pointer need not be
// kept.
QNetworkReply *sendRequest(QNetworkAccessManager *manager, const QUrl &url, int timeoutMs = transferTimeoutMs);

enum class LoginOutcome {
    ConnectionFailure,
    RefusedCredentials,
    ApiKey,
    NotService,     // something answered, but not a tapvela service: a redirect, an empty body, an HTML page
    TooManyAttempts // the service asks the user to wait (429 or 503 with Retry-After)
};

struct LoginReply
{
    LoginOutcome outcome = LoginOutcome::ConnectionFailure;
    QString text; // the body text cut at the first NUL (empty on ConnectionFailure); for ApiKey, the api key
    int retryAfterSeconds = 0; // TooManyAttempts only
};

// What the HTTP layer told besides the body.
struct HttpAnswer
{
    int status = 200;
    QByteArray contentType;
    QByteArray retryAfter; // the Retry-After header as sent
};

// An api key is never empty, never an HTML page and never comes with a redirect: such an answer comes from
// some other server (a captive portal, a web site at the address typed) and storing it would sign the user
// in to nothing.
LoginReply judgeLoginReply(bool networkError, const QByteArray &body, const HttpAnswer &http = HttpAnswer());

// A QR code as the service draws it: size x size modules, without the quiet zone.
struct QrCode
{
    int size = 0;
    QBitArray modules; // row by row from the top; set is dark

    bool isNull() const { return size == 0; }
    bool dark(int row, int column) const { return modules.testBit(row * size + column); }
};

// Reads the service's rows of '0' (light) and '1' (dark): N strings of N characters, N one of the QR code sizes
// (21 to 177 in steps of 4). Anything else is refused as a null code.
QrCode parseQrRows(const QJsonValue &rows);

enum class SettingsOutcome {
    NetworkError,    // show the connection message
    NotJson,         // passed over in silence
    ApiKeyRefused,   // show the api-key message ("unknown device" included)
    DeviceList,      // rebuild the list from devices
    Nothing,         // "valid" without a device list
    PhonePage,       // a phone's page and its QR code to show; devices too after an addition
    BrokenPhonePage, // a "valid" answer with a QR code whose page or code cannot be used: say so
    BadName,         // the service refused a new device's name
    TooManyDevices,  // the account holds as many devices as the service allows
    ServiceMessage   // a refusal that the service explains in a message of its own (a push rate): show it
};

// The longest service message shown; a longer one is cut.
constexpr int maxServiceMessageLength = 200;

struct SettingsReply
{
    SettingsOutcome outcome = SettingsOutcome::NetworkError;
    // For DeviceList, and for PhonePage and BrokenPhonePage when hasDevices.
    QJsonArray devices;
    bool hasDevices = false;
    QString page;    // PhonePage: an absolute http or https address
    QrCode qr;       // PhonePage: never null
    QString message; // ServiceMessage: one line of plain text, never empty
};

SettingsReply judgeSettingsReply(bool networkError, const QByteArray &body);

// True when the network layer reported an error for a finished reply (no connection, an HTTP status of 400
// and above, the time-out, a connection closed mid-reply), its body passed the size cap or fell short of its
// Content-Length.
bool replyFailed(QNetworkReply *reply);

// What a finished-signal handler calls first: reads the reply (its body only when it did not fail), judges
// it, and releases it with deleteLater, so that no path of the handler can leak or double-free it. The
// release is deferred to the event loop the handler was called from: a message box shown afterwards (a
// nested loop) is safe.
LoginReply takeLoginReply(QNetworkReply *reply);
SettingsReply takeSettingsReply(QNetworkReply *reply);

} // namespace service
