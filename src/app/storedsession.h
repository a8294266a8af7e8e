#pragma once

#include <QString>

#include <optional>

class QSettings;

// What config.ini keeps of the signed-in user: the api key, the default device, the hotkey choice and the
// service's address. Every read asks the settings object afresh (the program's objects on one file share their
// values at once), with the default that stands for a missing key; every value is written as text and no key is
// ever removed.
class StoredSession final
{
public:
    static constexpr int defaultHotkeyIndex = 10; // F11
    // What savedDeviceId() gives when no default device was ever chosen.
    static constexpr const char *neverChosenDeviceId = "-1";

    explicit StoredSession(QSettings &settings);

    // The api key, or "no" when nobody is signed in.
    QString apiKey() const;
    // False for the "no" that apiKey() gives when nobody is signed in.
    static bool isSignedIn(const QString &apiKey);
    void setApiKey(const QString &apiKey);
    // The service's address as the user or an installer set it (empty when never set): it outlives sign-outs.
    QString server() const;
    void setServer(const QString &url);

    // Writes "no" over the api key; the default device, the hotkey and the service stay for the next sign-in.
    void signOut();

    // The default device that pushes go to; none when the key is missing or holds "no".
    std::optional<QString> pushDeviceId() const;
    // What a push needs: somebody signed in, and a default device.
    bool canPush() const;
    // The default device as the device list compares it: "-1" when none was ever chosen.
    QString savedDeviceId() const;
    void setDefaultDeviceId(const QString &id);

    // The stored hotkey index; text that is not a number gives 0, as the toolkit's conversion does.
    int hotkeyIndex() const;
    void setHotkeyIndex(int index);
    // Writes back the text just read (the default when missing), so that the file always holds the key.
    void keepHotkeyIndex();

private:
    QString hotkeyText() const;

    QSettings &m_settings;
};
