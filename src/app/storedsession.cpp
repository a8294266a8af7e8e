#include "app/storedsession.h"

#include <QSettings>

namespace {

const QString apiKeyKey = QStringLiteral("apikey");
const QString deviceKey = QStringLiteral("id");
const QString hotkeyKey = QStringLiteral("key");
const QString serverKey = QStringLiteral("server");
const QString signedOut = QStringLiteral("no");
const QString noDevice = QStringLiteral("no");

} // namespace

StoredSession::StoredSession(QSettings &settings) : m_settings(settings) {}

QString StoredSession::apiKey() const
{
    return m_settings.value(apiKeyKey, signedOut).toString();
}

bool StoredSession::isSignedIn(const QString &apiKey)
{
    return apiKey != signedOut;
}

void StoredSession::setApiKey(const QString &apiKey)
{
    m_settings.setValue(apiKeyKey, apiKey);
}

QString StoredSession::server() const
{
    return m_settings.value(serverKey).toString();
}

void StoredSession::setServer(const QString &url)
{
    m_settings.setValue(serverKey, url);
}

void StoredSession::signOut()
{
    m_settings.setValue(apiKeyKey, signedOut);
}

std::optional<QString> StoredSession::pushDeviceId() const
{
    const QString id = m_settings.value(deviceKey, noDevice).toString();
    if (id == noDevice)
        return std::nullopt;
    return id;
}

bool StoredSession::canPush() const
{
    return isSignedIn(apiKey()) && pushDeviceId().has_value();
}

QString StoredSession::savedDeviceId() const
{
    return m_settings.value(deviceKey, QString::fromLatin1(neverChosenDeviceId)).toString();
}

void StoredSession::setDefaultDeviceId(const QString &id)
{
    m_settings.setValue(deviceKey, id);
}

QString StoredSession::hotkeyText() const
{
    return m_settings.value(hotkeyKey, QString::number(defaultHotkeyIndex)).toString();
}

int StoredSession::hotkeyIndex() const
{
    return hotkeyText().toInt();
}

void StoredSession::setHotkeyIndex(int index)
{
    m_settings.setValue(hotkeyKey, QString::number(index));
}

void StoredSession::keepHotkeyIndex()
{
    m_settings.setValue(hotkeyKey, hotkeyText());
}
