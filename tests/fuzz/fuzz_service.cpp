#include "fuzzcheck.h"
#include "query.h"
#include "service/requests.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

#include <cstddef>
#include <cstdint>

namespace {

// What the service decodes from the program's request: the value that the program meant, whatever it holds.
void requireDecodedAs(const QUrl &url, const char *name, const QString &value)
{
    require(url.isValid(), "the request URL is valid");
    std::string error;
    const QByteArray query = url.query(QUrl::FullyEncoded).toLatin1();
    const auto parsed = pushserver::Query::parse(std::string_view(query.constData(), query.size()), &error);
    require(parsed.has_value(), "the service parses the program's query");
    const std::string *decoded = parsed->find(name);
    require(decoded && *decoded == value.toStdString(), "the service decodes the value that the program sent");
}

} // namespace

// A reply body is whatever the network delivers. The request values are the user's typing and the service's
// earlier answers.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Not copied, so that the sanitizer sees any read past the delivered bytes.
    const QByteArray body = QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<int>(size));

    const service::LoginReply login = service::judgeLoginReply(false, body);
    require(login.outcome != service::LoginOutcome::ConnectionFailure, "a delivered login reply is read");
    require(!login.text.contains(QChar(0)), "the api key is cut at the first NUL");
    require((login.outcome == service::LoginOutcome::RefusedCredentials) == (login.text == QLatin1String("error")),
            "only \"error\" refuses the credentials");
    require(service::judgeLoginReply(true, body).outcome == service::LoginOutcome::ConnectionFailure,
            "a network error is a connection failure");

    const service::SettingsReply settings = service::judgeSettingsReply(false, body);
    require(settings.outcome != service::SettingsOutcome::NetworkError, "a delivered settings reply is read");
    require(settings.outcome == service::SettingsOutcome::DeviceList || settings.devices.isEmpty(),
            "devices come only with a device list");
    if (settings.outcome == service::SettingsOutcome::DeviceList)
        require(QJsonDocument::fromJson(body).object().value(QLatin1String("status")) == QLatin1String("valid"),
                "a device list is a valid reply");
    require(service::judgeSettingsReply(true, body).outcome == service::SettingsOutcome::NetworkError,
            "a network error shows the connection message");

    // The same bytes as three request values, split at NUL.
    const QList<QByteArray> parts = body.split('\0');
    const QString key = QString::fromUtf8(parts.value(0));
    const QString id = QString::fromUtf8(parts.value(1));
    const QString name = QString::fromUtf8(parts.value(2));
    requireDecodedAs(service::setNameUrl(key, id, name), "apikey", key);
    requireDecodedAs(service::setNameUrl(key, id, name), "id", id);
    requireDecodedAs(service::setNameUrl(key, id, name), "name", name);
    requireDecodedAs(service::loginUrl(name, key), "username", name);
    requireDecodedAs(service::pushUrl(key, false, id, name), "devices", id);
    requireDecodedAs(service::pushUrl(key, true, id, name), "msg", service::pushMessage(true, name));
    return 0;
}
