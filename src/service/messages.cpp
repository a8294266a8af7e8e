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

Warning loginNotServiceWarning(bool french, const QString &url)
{
    return {loginTitle(french),
            french ? QStringLiteral("%1 a répondu, mais ce n'est pas un service tapvela. Vérifiez l'adresse du "
                                    "service (« Changer… » sous le bouton GO).")
                         .arg(url)
                   : QStringLiteral("%1 answered, but it is not a tapvela service. Check the service's address "
                                    "(\"Change…\" under the GO button).")
                         .arg(url)};
}

Warning loginTooManyAttemptsWarning(bool french, int seconds)
{
    return {loginTitle(french), french ? QStringLiteral("Trop de tentatives, réessayez dans %1 s.").arg(seconds)
                                       : QStringLiteral("Too many attempts, try again in %1 s.").arg(seconds)};
}

Warning loginAddressWarning(bool french, const QString &problem)
{
    return {loginTitle(french), problem};
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

Warning settingsServiceWarning(bool french, const QString &message)
{
    return {settingsTitle(french), message};
}

Warning settingsBadNameWarning(bool french)
{
    return {settingsTitle(french),
            french ? QStringLiteral("Le service refuse ce nom. Donnez au téléphone un nom de 1 à 64 caractères.")
                   : QStringLiteral("The service refused this name. Give the phone a name of 1 to 64 characters.")};
}

Warning settingsTooManyDevicesWarning(bool french)
{
    return {settingsTitle(french),
            french ? QStringLiteral("Ce compte a déjà le nombre maximal d'appareils : aucun téléphone n'a été ajouté.")
                   : QStringLiteral("This account already has as many devices as the service allows: no phone was "
                                    "added.")};
}

Warning settingsBrokenPhonePageWarning(bool french)
{
    return {settingsTitle(french),
            french ? QStringLiteral("La réponse du service ne contient pas de code QR utilisable. Réessayez.")
                   : QStringLiteral("The service's answer holds no usable QR code. Please try again.")};
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
