#include "service/messages.h"

namespace service {

namespace {

QString loginTitle(bool french)
{
    return french ? QStringLiteral("tapvela - connexion") : QStringLiteral("tapvela - connection");
}

QString settingsTitle(bool french)
{
    return french ? QStringLiteral("tapvela - configuration") : QStringLiteral("tapvela - settings");
}

QString connectionText(bool french)
{
    return french ? QStringLiteral("Erreur avec votre connexion internet !")
                  : QStringLiteral("Error with your internet connection !");
}

} // namespace

Warning loginConnectionWarning(bool french)
{
    return {loginTitle(french), connectionText(french)};
}

Warning loginCredentialsWarning(bool french)
{
    return {loginTitle(french), french ? QStringLiteral("Erreur avec votre identifiant/mot de passe !")
                                       : QStringLiteral("Error with your username/password !")};
}

Warning settingsConnectionWarning(bool french)
{
    return {settingsTitle(french), connectionText(french)};
}

Warning settingsApiKeyWarning(bool french)
{
    return {settingsTitle(french), french ? QStringLiteral("Erreur avec votre apikey, merci de vous reconnectez !")
                                          : QStringLiteral("Error with your apikey, please reconnect you !")};
}

Warning settingsWaylandWarning(bool french)
{
    return {settingsTitle(french),
            french ? QStringLiteral("Session Wayland : la touche ne fonctionne que dans les applications X11, pas "
                                    "dans les applications Wayland natives.")
                   : QStringLiteral("Wayland session: the hotkey works only in X11 applications, not in native "
                                    "Wayland ones.")};
}

} // namespace service
