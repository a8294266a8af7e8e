#pragma once

#include <QString>

// The warnings the two windows show, each as the title and text of a warning box, in French or English.
namespace service {

struct Warning
{
    QString title;
    QString text;
};

// The login window's: the service could not be reached, or it refused the user name and password.
Warning loginConnectionWarning(bool french);
Warning loginCredentialsWarning(bool french);
// The address answered, but not as a tapvela service does (a web site, a captive portal, a redirect).
Warning loginNotServiceWarning(bool french, const QString &url);
// The service refuses sign-ins for a while.
Warning loginTooManyAttemptsWarning(bool french, int seconds);
// The address the user typed in the service dialog is refused.
Warning loginAddressWarning(bool french, const QString &problem);

// The settings window's: a request failed on the network, or the service refused the api key.
Warning settingsConnectionWarning(bool french);
Warning settingsApiKeyWarning(bool french);
// A refusal that the service explains itself (too many pushes): its message, under the settings window's title.
Warning settingsServiceWarning(bool french, const QString &message);
// The settings window's refusals of a new phone (its name; the account's limit of devices), and a pairing answer
// whose page address or QR code cannot be shown.
Warning settingsBadNameWarning(bool french);
Warning settingsTooManyDevicesWarning(bool french);
Warning settingsBrokenPhonePageWarning(bool french);
// The settings window's notice that in a Wayland session the hotkey reaches only X11 applications.
Warning settingsWaylandWarning(bool french);

} // namespace service
