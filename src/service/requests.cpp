#include "service/requests.h"

#include "app/config.h"
#include "app/storedsession.h"
#include "app/uilanguage.h"
#include "service/serviceaddress.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QStandardPaths>

namespace service {

namespace {

// A value as it goes into a query: everything but the unreserved characters escaped, so that the service
// decodes exactly the text the program meant.
QByteArray encoded(const QString &value)
{
    return QUrl::toPercentEncoding(value);
}

// The base URL in its encoded form followed by path and query, which are already encoded. Parsed strictly so
// that nothing in the query is decoded again ("%2B" must stay "%2B").
QUrl serviceUrl(const QByteArray &pathAndQuery)
{
    const QUrl base(baseUrl(), QUrl::TolerantMode);
    const QByteArray prefix = base.toEncoded(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::StripTrailingSlash);
    return QUrl::fromEncoded(prefix + pathAndQuery, QUrl::StrictMode);
}

} // namespace

namespace {

QString withoutTrailingSlash(QString url)
{
    while (url.endsWith(QLatin1Char('/')))
        url.chop(1);
    return url;
}

// The address stored in one config.ini, normalised; empty when there is none or it is refused (plain http to
// the internet in a hand-edited file is not used).
QString serverIn(const QString &file)
{
    QSettings settings(file, QSettings::IniFormat);
    const ServiceAddress address = normaliseServiceAddress(StoredSession(settings).server());
    return address.accepted() ? address.url : QString();
}

} // namespace

bool serviceUrlFromEnvironment()
{
    return !qEnvironmentVariable("TAPVELA_SERVICE_URL").trimmed().isEmpty();
}

QString defaultServiceUrl()
{
    return withoutTrailingSlash(QStringLiteral(TAPVELA_DEFAULT_SERVICE_URL));
}

QString configuredServiceUrl()
{
    const QString own = configFilePath();
    QString url = serverIn(own);
    if (!url.isEmpty())
        return url;
    for (const QString &dir : QStandardPaths::standardLocations(QStandardPaths::AppConfigLocation)) {
        const QString file = dir + QStringLiteral("/config.ini");
        if (file == own || !QFileInfo::exists(file))
            continue;
        url = serverIn(file);
        if (!url.isEmpty())
            return url;
    }
    return defaultServiceUrl();
}

QString baseUrl()
{
    if (serviceUrlFromEnvironment())
        return withoutTrailingSlash(qEnvironmentVariable("TAPVELA_SERVICE_URL").trimmed());
    return configuredServiceUrl();
}

QString passwordDigest(const QString &password)
{
    return QString::fromLatin1(QCryptographicHash::hash(password.toUtf8(), QCryptographicHash::Sha1).toHex());
}

QUrl loginUrl(const QString &username, const QString &password)
{
    return serviceUrl("/all/login_app.php?username=" + encoded(username) +
                      "&password=" + encoded(passwordDigest(password)));
}

QUrl devicesUrl(const QString &apiKey)
{
    return serviceUrl("/all/devices_app.php?apikey=" + encoded(apiKey));
}

QUrl setNameUrl(const QString &apiKey, const QString &id, const QString &name)
{
    return serviceUrl("/all/set_name_app.php?apikey=" + encoded(apiKey) + "&id=" + encoded(id) +
                      "&name=" + encoded(name));
}

QUrl addDeviceUrl(const QString &apiKey, const QString &name)
{
    return serviceUrl("/all/add_device_app.php?apikey=" + encoded(apiKey) + "&name=" + encoded(name));
}

QUrl devicePageUrl(const QString &apiKey, const QString &id)
{
    return serviceUrl("/all/device_page_app.php?apikey=" + encoded(apiKey) + "&id=" + encoded(id));
}

QString pushMessage(bool french, const QString &number)
{
    return (french ? QStringLiteral("Numéro de téléphone : ") : QStringLiteral("Phone number : ")) + number;
}

QUrl pushUrl(const QString &apiKey, bool french, const QString &deviceId, const QString &number)
{
    // ':' may stand in a query as it is, so the link keeps its literal "tel:" and only the number is escaped.
    return serviceUrl("/all/api.php?apikey=" + encoded(apiKey) + "&msg=" + encoded(pushMessage(french, number)) +
                      "&icon=115&sound=01&devices=" + encoded(deviceId) + "&extra=tel:" + encoded(number));
}

QByteArray acceptLanguage(bool french)
{
    return french ? QByteArrayLiteral("fr") : QByteArrayLiteral("en");
}

QNetworkReply *sendRequest(QNetworkAccessManager *manager, const QUrl &url, int timeoutMs)
{
    QNetworkRequest request(url);
    request.setRawHeader("Accept-Language", acceptLanguage(isFrenchInterface()));
    request.setTransferTimeout(timeoutMs);
    // A redirect answer is read as the reply itself; never follow it, whatever the manager's policy.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply = manager->get(request);
    // The body stays unread until the reply has finished, so what is buffered is all that arrived; readyRead
    // comes with every piece (downloadProgress is throttled and may come too late). The network thread stops
    // reading ahead at twice the cap, so a flood never piles up in memory before the check runs: it stalls
    // somewhat short of its limit, past the cap, and a sender that stalls short of the cap meets the time-out.
    reply->setReadBufferSize(2 * maxReplyBytes);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply] {
        if (reply->bytesAvailable() > maxReplyBytes)
            reply->abort();
    });
    return reply;
}

LoginReply judgeLoginReply(bool networkError, const QByteArray &body, const HttpAnswer &http)
{
    LoginReply result;
    if (http.status == 429 || http.status == 503) {
        // Our service sends a number of seconds; an HTTP date or nothing leaves it a plain failure.
        bool number = false;
        const int seconds = http.retryAfter.trimmed().toInt(&number);
        if (number && seconds >= 0) {
            result.outcome = LoginOutcome::TooManyAttempts;
            result.retryAfterSeconds = qMax(1, seconds);
            return result;
        }
    }
    if (networkError)
        return result;
    if (http.status >= 300 && http.status < 400) {
        result.outcome = LoginOutcome::NotService;
        return result;
    }
    const int nul = body.indexOf('\0');
    result.text = QString::fromUtf8(nul < 0 ? body : body.left(nul));
    const bool html = http.contentType.trimmed().toLower().startsWith("text/html") ||
                      result.text.trimmed().startsWith(QLatin1Char('<'));
    if (result.text.isEmpty() || html)
        result.outcome = LoginOutcome::NotService;
    else if (result.text == QLatin1String("error"))
        result.outcome = LoginOutcome::RefusedCredentials;
    else
        result.outcome = LoginOutcome::ApiKey;
    return result;
}

QrCode parseQrRows(const QJsonValue &rows)
{
    constexpr int smallest = 21;
    constexpr int largest = 177;
    const QJsonArray array = rows.toArray();
    const int size = array.size();
    if (size < smallest || size > largest || (size - smallest) % 4 != 0)
        return {};
    QrCode code;
    code.modules.resize(size * size);
    for (int row = 0; row < size; ++row) {
        const QJsonValue value = array.at(row);
        if (!value.isString())
            return {};
        const QString text = value.toString();
        if (text.size() != size)
            return {};
        for (int column = 0; column < size; ++column) {
            const QChar module = text.at(column);
            if (module == QLatin1Char('1'))
                code.modules.setBit(row * size + column);
            else if (module != QLatin1Char('0'))
                return {};
        }
    }
    code.size = size;
    return code;
}

namespace {

// A page address the program may show and draw: absolute, http or https, with a host. Anything else (a
// "javascript:" or "file:" address, a relative one) is not offered to a phone.
bool isPageAddress(const QString &page)
{
    const QUrl url(page, QUrl::StrictMode);
    const QString scheme = url.scheme();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !url.host().isEmpty();
}

// The answer to add_device_app.php or device_page_app.php: the page stands on top, or in the new device.
void judgePhonePage(const QJsonObject &top, SettingsReply *result)
{
    const QJsonValue devices = top.value(QLatin1String("devices"));
    if (devices.isArray()) {
        result->hasDevices = true;
        result->devices = devices.toArray();
    }
    QJsonValue page = top.value(QLatin1String("page"));
    if (!page.isString())
        page = top.value(QLatin1String("device")).toObject().value(QLatin1String("page"));
    const QrCode qr = parseQrRows(top.value(QLatin1String("qr")));
    if (!page.isString() || !isPageAddress(page.toString()) || qr.isNull()) {
        result->outcome = SettingsOutcome::BrokenPhonePage;
        return;
    }
    result->outcome = SettingsOutcome::PhonePage;
    result->page = page.toString();
    result->qr = qr;
}

// The service's words, as the user will read them: whatever the service sends is shown as one line of plain
// text of bounded length. Control characters become spaces and invisible formatting characters (direction
// overrides among them) go, so that a message cannot pass for something it is not.
QString serviceMessage(const QJsonValue &value)
{
    const QString given = value.toString();
    QString text;
    text.reserve(qMin(given.size(), 2 * maxServiceMessageLength));
    for (int i = 0; i < given.size() && text.size() <= 2 * maxServiceMessageLength; ++i) {
        const QChar c = given.at(i);
        if (c.isHighSurrogate() && i + 1 < given.size() && given.at(i + 1).isLowSurrogate()) {
            const uint code = QChar::surrogateToUcs4(c, given.at(i + 1));
            if (QChar::category(code) != QChar::Other_Format && QChar::category(code) != QChar::Other_PrivateUse)
                text += given.mid(i, 2);
            ++i;
            continue;
        }
        switch (c.category()) {
        case QChar::Other_Control:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            text += QLatin1Char(' ');
            break;
        case QChar::Other_Format:
        case QChar::Other_Surrogate: // one without its pair
        case QChar::Other_PrivateUse:
        case QChar::Other_NotAssigned:
            break;
        default:
            text += c;
        }
    }
    text = text.simplified();
    if (text.size() > maxServiceMessageLength) {
        int cut = maxServiceMessageLength - 1;
        if (text.at(cut - 1).isHighSurrogate())
            --cut;
        text = text.left(cut) + QChar(0x2026);
    }
    return text;
}

} // namespace

SettingsReply judgeSettingsReply(bool networkError, const QByteArray &body)
{
    SettingsReply result;
    if (networkError)
        return result;
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (document.isNull()) {
        result.outcome = SettingsOutcome::NotJson;
        return result;
    }
    // A top-level array reads as an object without members, and so as a refused api key.
    const QJsonObject top = document.object();
    const QString status = top.value(QLatin1String("status")).toString();
    if (status == QLatin1String("bad name")) {
        result.outcome = SettingsOutcome::BadName;
        return result;
    }
    if (status == QLatin1String("too many devices")) {
        result.outcome = SettingsOutcome::TooManyDevices;
        return result;
    }
    const bool valid = status == QLatin1String("valid");
    // Only the pairing answers carry a QR code.
    if (valid && top.contains(QLatin1String("qr"))) {
        judgePhonePage(top, &result);
        return result;
    }
    const QJsonValue devices = top.value(QLatin1String("devices"));
    if (valid && devices.isArray()) {
        result.outcome = SettingsOutcome::DeviceList;
        result.devices = devices.toArray();
    } else if (valid) {
        result.outcome = SettingsOutcome::Nothing;
    } else {
        // A refusal that says why (too many pushes) is no reason to sign in again: its message is shown instead.
        result.message = serviceMessage(top.value(QLatin1String("message")));
        result.outcome = result.message.isEmpty() ? SettingsOutcome::ApiKeyRefused : SettingsOutcome::ServiceMessage;
    }
    return result;
}

bool replyFailed(QNetworkReply *reply)
{
    if (reply->error() != QNetworkReply::NoError || reply->bytesAvailable() > maxReplyBytes)
        return true;
    // Qt now and then reports a connection closed before the announced length as a success: a body shorter
    // than its Content-Length was cut. A compressed body loses its Content-Length when Qt unpacks it.
    bool known = false;
    const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    return known && reply->bytesAvailable() < announced;
}

LoginReply takeLoginReply(QNetworkReply *reply)
{
    const bool failed = replyFailed(reply);
    const QByteArray body = failed ? QByteArray() : reply->readAll();
    HttpAnswer http;
    http.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    http.contentType = reply->rawHeader("Content-Type");
    http.retryAfter = reply->rawHeader("Retry-After");
    reply->deleteLater();
    return judgeLoginReply(failed, body, http);
}

SettingsReply takeSettingsReply(QNetworkReply *reply)
{
    const bool failed = replyFailed(reply);
    const QByteArray body = failed ? QByteArray() : reply->readAll();
    reply->deleteLater();
    return judgeSettingsReply(failed, body);
}

} // namespace service
