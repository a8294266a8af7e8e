#pragma once

#include <QString>

// What a person types as the service's address, read the way a browser's address bar would and made into the
// base URL that every request begins with. Pure: no network, no settings.
namespace service {

enum class AddressProblem {
    None,
    Empty,
    Spaces,
    UserInfo,      // "user:password@host": the password would sit in config.ini and in every request
    UnknownScheme, // anything but http:// and https://
    PathOrQuery,   // a query or a fragment: requests add their own
    BadHost,
    PlainHttpToPublic // http:// to an address outside this computer and the private networks
};

struct ServiceAddress
{
    AddressProblem problem = AddressProblem::None;
    // The normalised base URL, "https://push.example.org" or "http://192.168.1.20:48080": lower-case scheme
    // and host, no default port, no trailing slash. Empty when problem is not None.
    QString url;
    // True for plain http to a private-network address: the password digest and the api key would travel
    // readable on that network, so the user must agree first. Plain http to this computer itself (loopback)
    // never leaves it and needs no warning.
    bool needsHttpConsent = false;

    bool accepted() const { return problem == AddressProblem::None; }
};

// Without a scheme: https, except for loopback ("localhost", 127.0.0.0/8, ::1), which gets http. A path is
// kept (a service behind a reverse proxy under a prefix).
ServiceAddress normaliseServiceAddress(const QString &typed);

// True for loopback, the private IPv4 ranges (10/8, 172.16/12, 192.168/16), link-local (169.254/16,
// fe80::/10), unique-local IPv6 (fc00::/7) and multicast-DNS names ending in ".local", which resolve only on
// the local link. Any other name may resolve anywhere, so it counts as public.
bool isPrivateNetworkHost(const QString &host);
bool isLoopbackHost(const QString &host);

// The address as the login window shows it: without its scheme ("push.example.org", "192.168.1.20:48080"),
// short enough for the line under GO. Plain http was agreed to when the address was chosen.
QString displayedServiceAddress(const QString &url);

// The message for a refused address, and the warning before plain http, in French or English.
QString addressProblemText(AddressProblem problem, bool french);
QString httpWarningText(const QString &url, bool french);

} // namespace service
