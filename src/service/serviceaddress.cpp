#include "service/serviceaddress.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <QUrl>

namespace service {

namespace {

QString bareHost(const QString &host)
{
    QString h = host.toLower();
    if (h.startsWith(QLatin1Char('[')) && h.endsWith(QLatin1Char(']')))
        h = h.mid(1, h.size() - 2);
    return h;
}

bool inAnyRange(const QHostAddress &address, std::initializer_list<const char *> ranges)
{
    for (const char *range : ranges) {
        if (address.isInSubnet(QHostAddress::parseSubnet(QLatin1String(range))))
            return true;
    }
    return false;
}

ServiceAddress refused(AddressProblem problem)
{
    ServiceAddress result;
    result.problem = problem;
    return result;
}

} // namespace

bool isLoopbackHost(const QString &host)
{
    const QString h = bareHost(host);
    if (h == QLatin1String("localhost") || h.endsWith(QLatin1String(".localhost")))
        return true;
    const QHostAddress address(h);
    return !address.isNull() && address.isLoopback();
}

bool isPrivateNetworkHost(const QString &host)
{
    if (isLoopbackHost(host))
        return true;
    const QString h = bareHost(host);
    if (h.endsWith(QLatin1String(".local")))
        return true;
    QHostAddress address(h);
    if (address.isNull())
        return false;
    // "::ffff:192.168.1.20" is the IPv4 address in IPv6 dress.
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped)
        address = QHostAddress(v4);
    return inAnyRange(address,
                      {"10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "169.254.0.0/16", "fc00::/7", "fe80::/10"});
}

ServiceAddress normaliseServiceAddress(const QString &typed)
{
    const QString text = typed.trimmed();
    if (text.isEmpty())
        return refused(AddressProblem::Empty);
    for (const QChar c : text) {
        if (c.isSpace() || c.category() == QChar::Other_Control)
            return refused(AddressProblem::Spaces);
    }

    QString scheme;
    QString rest = text;
    const int separator = text.indexOf(QLatin1String("://"));
    if (separator >= 0) {
        scheme = text.left(separator).toLower();
        rest = text.mid(separator + 3);
        if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
            return refused(AddressProblem::UnknownScheme);
    }
    const int authorityEnd = rest.indexOf(QRegularExpression(QStringLiteral("[/?#]")));
    const QString authority = authorityEnd < 0 ? rest : rest.left(authorityEnd);
    if (authority.contains(QLatin1Char('@')))
        return refused(AddressProblem::UserInfo);
    if (authorityEnd >= 0 && rest.indexOf(QRegularExpression(QStringLiteral("[?#]")), authorityEnd) >= 0)
        return refused(AddressProblem::PathOrQuery);
    if (authority.isEmpty())
        return refused(AddressProblem::BadHost);

    QUrl url(QStringLiteral("https://") + rest, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || url.port() == 0)
        return refused(AddressProblem::BadHost);
    if (scheme.isEmpty())
        scheme = isLoopbackHost(url.host()) ? QStringLiteral("http") : QStringLiteral("https");
    url.setScheme(scheme);

    ServiceAddress result;
    if (scheme == QLatin1String("http") && !isLoopbackHost(url.host())) {
        if (!isPrivateNetworkHost(url.host()))
            return refused(AddressProblem::PlainHttpToPublic);
        result.needsHttpConsent = true;
    }
    if (url.port() == (scheme == QLatin1String("http") ? 80 : 443))
        url.setPort(-1);
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    url.setPath(path);
    result.url = url.toString();
    return result;
}

QString displayedServiceAddress(const QString &url)
{
    const int schemeEnd = url.indexOf(QLatin1String("://"));
    return schemeEnd < 0 ? url : url.mid(schemeEnd + 3);
}

QString addressProblemText(AddressProblem problem, bool french)
{
    switch (problem) {
    case AddressProblem::None:
        break;
    case AddressProblem::Empty:
        return french ? QStringLiteral("Indiquez l'adresse du service, par exemple push.example.org.")
                      : QStringLiteral("Enter the service's address, for example push.example.org.");
    case AddressProblem::Spaces:
        return french ? QStringLiteral("Une adresse ne contient pas d'espace.")
                      : QStringLiteral("An address holds no spaces.");
    case AddressProblem::UserInfo:
        return french ? QStringLiteral("L'adresse ne doit contenir ni nom d'utilisateur ni mot de passe (partie "
                                       "« nom@ ») : saisissez-les dans la fenêtre de connexion.")
                      : QStringLiteral("The address must not hold a user name or password (a \"name@\" part): type "
                                       "them in the login window.");
    case AddressProblem::UnknownScheme:
        return french ? QStringLiteral("Seules les adresses https:// (ou http:// sur un réseau privé) sont acceptées.")
                      : QStringLiteral("Only https:// addresses (or http:// on a private network) are accepted.");
    case AddressProblem::PathOrQuery:
        return french ? QStringLiteral("L'adresse du service s'arrête avant tout « ? » ou « # ».")
                      : QStringLiteral("The service's address ends before any \"?\" or \"#\".");
    case AddressProblem::BadHost:
        return french ? QStringLiteral("Ce n'est pas un nom d'ordinateur ou une adresse valide (avec un port de 1 à "
                                       "65535 s'il y en a un).")
                      : QStringLiteral("This is not a valid computer name or address (with a port from 1 to 65535 "
                                       "if there is one).");
    case AddressProblem::PlainHttpToPublic:
        return french ? QStringLiteral("http:// n'est accepté que vers cet ordinateur ou un réseau privé : le mot de "
                                       "passe et la clé d'API circuleraient en clair sur Internet. Utilisez https://.")
                      : QStringLiteral("http:// is accepted only to this computer or a private network: the "
                                       "password and the api key would travel readable over the internet. Use "
                                       "https://.");
    }
    return QString();
}

QString httpWarningText(const QString &url, bool french)
{
    return french ? QStringLiteral("%1 n'est pas chiffré : l'empreinte de votre mot de passe et votre clé d'API "
                                   "circuleront en clair sur ce réseau, lisibles par qui l'écoute. Continuer ?")
                        .arg(url)
                  : QStringLiteral("%1 is not encrypted: your password digest and your api key will travel "
                                   "readable on that network, by anyone listening on it. Continue?")
                        .arg(url);
}

} // namespace service
