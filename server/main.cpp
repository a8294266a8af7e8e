#include "clientaddress.h"
#include "delivery.h"
#include "migrate.h"
#include "qrcode.h"
#include "query.h"
#include "retention.h"
#include "secrets.h"
#include "service.h"
#include "store.h"
#include "webpush.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

using namespace pushserver;

namespace {

const char *const usage = R"(usage: tapvela-server COMMAND [OPTIONS]

  serve       [--listen ADDR] [--port N] [--db DB] [--public-url URL] [--threads N] [--log]
              [--keep-days N] [--keep-pushes N] [--key-unused-days N]
              [--vapid-subject mailto:ADDRESS|https:URL] [--webpush-allow-loopback-http]
              [--webpush-ca FILE] [--tls-cert FILE --tls-key FILE] [--max-devices N]
              [--max-connections N] [--max-connections-per-client N]
              [--max-tls-handshakes N] [--tls-handshake-seconds N]
              [--push-rate N] [--push-burst N]
              [--trusted-proxy ADDR[,ADDR...]]
              Serves the push service. Defaults: 127.0.0.1, port 48080, ./tapvela-server.db,
              2 threads. --threads N (1 to 1024) sets how many threads serve the connections;
              a waiting or slow client holds none, so a few are enough.
              --public-url is the address the phones reach the service by: the desktop
              program pairs a phone with a QR code of its page under it. Without it, under
              the address each request came in by. The program may bring an account to
              --max-devices devices (1 to 100000, default 50).
              With --port 0 a free port is chosen. The first line written is
              "listening on http://ADDR:PORT", or https with --tls-cert.
              --tls-cert and --tls-key serve HTTPS with the certificate (PEM, the chain
              after it) and its key (PEM, without a passphrase). SIGHUP reads them again:
              a renewed certificate needs no restart.
              At most --max-connections connections (default 2048, fewer when the process may
              not open that many files), --max-connections-per-client from one client (an IPv4
              address or an IPv6 /64; default 64). When every place is taken, a new client takes
              the place of the idlest connection of the client that holds the most. At most
              --max-tls-handshakes TLS handshakes under way (default 256; each holds about
              90 KB): a new one takes the place of the oldest. A handshake has
              --tls-handshake-seconds (1 to 600, default 10).
              --trusted-proxy names the reverse proxies in front (IP addresses): from them,
              the client's address is taken from X-Forwarded-For, for the sign-in limits and
              the log; from any other peer the header is ignored.
              Pushes older than --keep-days (1 to 3650, default 30) and beyond a device's
              --keep-pushes newest (1 to 1000000, default 1000) are deleted, and so are api keys
              unused for --key-unused-days (1 to 3650, default 180): at start, then hourly;
              a device's pushes beyond --keep-pushes go at once, with each new push (with
              PostgreSQL, with every 16th push).
              An api key may send --push-burst pushes at once (1 to 100000, default 60), then
              --push-rate a second (0.001 to 100000, decimals allowed, default 5); a push
              beyond is answered with the status "too many pushes" and is not stored.
              --vapid-subject turns on delivery to the phones' browsers (Web Push) and names
              the operator's contact, which the browsers' push services ask for. Without it
              the phone pages get pushes only while they are open. Push services refuse a
              contact at localhost or under .invalid, and so does this option.
              --webpush-allow-loopback-http is for tests only: it allows plain http push
              endpoints on 127.0.0.1 and ::1. --webpush-ca is for tests only too: it trusts
              the certificate authority in FILE (PEM) beside the system's for push services.
  demo        [same options as serve, database ./tapvela-demo.db]
              Creates the demo account (user "demo", password "demo") and its device on first
              start, prints the credentials and the device's phone page with its QR code,
              then serves. Without --vapid-subject, Web Push is on when --public-url is an
              https address with a name on the internet, with that address as the contact.
  add-user    [--db DB] USER
              Adds an account; its password is read from standard input.
  add-device  [--db DB] [--public-url URL] USER NAME
              Adds a device to the account and prints its id, its phone page address and
              the page's QR code, for the phone's camera.
  devices     [--db DB] [--public-url URL] USER
              Lists the account's devices: id, name and phone page address.
  users       [--db DB]
              Lists the accounts: name, number of devices, and when the account was last used.
  passwd      [--db DB] [--keep-sessions] USER
              Gives the account a new password, read from standard input, and signs every
              program out of it, unless --keep-sessions.
  sign-out    [--db DB] USER
              Signs every program out of the account: they must sign in again.
  new-page    [--db DB] [--public-url URL] USER DEVICE
              Gives the device a new phone page address and prints it with its QR code. The
              old address stops working at once and its open pages are closed; the phone's
              notifications (Web Push) must be turned on again on the new page.
  remove-device [--db DB] [--yes] USER DEVICE
              Removes the device with its pushes and notification subscriptions.
  remove-user [--db DB] [--yes] USER
              Removes the account with its devices, their pushes and its sign-ins.
              Both ask for a confirmation on the terminal unless --yes.
  DEVICE is a device's id or its exact name. A running server sees these changes at once.
  migrate     --from FILE --to URL
              Copies a SQLite database (accounts, sign-ins, devices with their page addresses,
              pushes, the Web Push key, notification subscriptions and deliveries under way) into
              an empty PostgreSQL database: phones' pages and the programs' sign-ins go on working.
              Stop the server first. A database that holds data already is refused.

DB is a SQLite file (created when missing) or a PostgreSQL database's URL,
postgresql://USER@HOST:PORT/DATABASE, which several servers may share; without --db,
the URL in the environment variable TAPVELA_DB_URL, if set. A URL's password may
also come from PGPASSWORD or ~/.pgpass.

Plain http is for this computer (127.0.0.1) or behind a reverse proxy that serves
HTTPS. Phones need HTTPS for notifications, and passwords and pushes should not
cross a network in clear: to serve phones on the network, listen on the computer's
address with a certificate (--listen 0.0.0.0 --tls-cert cert.pem --tls-key key.pem)
and give the address the phones reach it by (--public-url
https://tapvela.home.example:48080), or put a reverse proxy in front.
)";

constexpr int defaultPort = 48080;
const char *const demoUser = "demo";
const char *const demoPassword = "demo";
const char *const demoDeviceName = "Demo phone";

struct Arguments
{
    std::map<std::string, std::string> options;
    std::vector<std::string> positional;
};

// Options take a value ("--port 0"), except the flags listed.
bool parseArguments(int argc, char **argv, Arguments *out)
{
    static const std::vector<std::string> flags = {"--log", "--webpush-allow-loopback-http", "--keep-sessions",
                                                   "--yes"};
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            out->positional.push_back(arg);
        } else if (std::find(flags.begin(), flags.end(), arg) != flags.end()) {
            out->options[arg] = "1";
        } else if (i + 1 < argc) {
            out->options[arg] = argv[++i];
        } else {
            std::fprintf(stderr, "tapvela-server: %s needs a value\n", arg.c_str());
            return false;
        }
    }
    return true;
}

bool onlyKnownOptions(const Arguments &args, const std::vector<std::string> &known)
{
    for (const auto &option : args.options) {
        if (std::find(known.begin(), known.end(), option.first) == known.end()) {
            std::fprintf(stderr, "tapvela-server: unknown option %s\n", option.first.c_str());
            return false;
        }
    }
    return true;
}

std::string option(const Arguments &args, const std::string &name, const std::string &fallback)
{
    const auto it = args.options.find(name);
    return it == args.options.end() ? fallback : it->second;
}

// The database: --db, else TAPVELA_DB_URL (so that a password in a URL need not stand on the command line, where
// the machine's other users see it), else the default file.
std::string databaseOption(const Arguments &args, const std::string &fallback)
{
    if (const auto it = args.options.find("--db"); it != args.options.end())
        return it->second;
    if (const char *url = std::getenv("TAPVELA_DB_URL"); url && *url)
        return url;
    return fallback;
}

std::optional<int> number(const std::string &text, int low, int high)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int value = std::stoi(text);
    return value >= low && value <= high ? std::optional<int>(value) : std::nullopt;
}

// Digits with at most three decimals ("5", "0.5", "0.001"), within low and high.
std::optional<double> decimal(const std::string &text, double low, double high)
{
    const std::size_t point = text.find('.');
    const std::string whole = text.substr(0, point);
    const std::string fraction = point == std::string::npos ? std::string() : text.substr(point + 1);
    const auto digits = [](const std::string &part) {
        return part.find_first_not_of("0123456789") == std::string::npos;
    };
    if (whole.empty() || whole.size() > 6 || !digits(whole) || !digits(fraction) || fraction.size() > 3 ||
        (point != std::string::npos && fraction.empty()))
        return std::nullopt;
    const double value =
        std::stoi(whole) + (fraction.empty() ? 0 : std::stoi(fraction) / std::pow(10.0, fraction.size()));
    return value >= low && value <= high ? std::optional<double>(value) : std::nullopt;
}

// The QR code of a phone page under its address, for the phone's camera.
void printPageCode(const std::string &page)
{
    const std::vector<std::string> matrix = qrMatrix(page);
    if (matrix.empty())
        std::puts("(the address is too long for a QR code)");
    else
        std::fputs(qrTerminalText(matrix).c_str(), stdout);
}

// The address pages are given under: http or https, then printable ASCII, short enough for a QR code.
bool isPublicUrl(const std::string &url)
{
    const bool printable = std::all_of(url.begin(), url.end(), [](char c) { return c > 0x20 && c < 0x7f; });
    return printable && url.size() <= 1024 && (url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0) &&
           url.find_first_not_of('/', url.find("//") + 2) != std::string::npos;
}

std::string userNameProblem(const std::string &name)
{
    if (name.empty() || name.size() > 128 || !isValidUtf8(name) || hasControlCharacters(name, false))
        return "a user name is 1 to 128 bytes of UTF-8 text without control characters";
    return {};
}

// The first line of standard input, without its line end; typed without echo on a terminal.
std::optional<std::string> readPassword(const std::string &user)
{
    const bool terminal = isatty(STDIN_FILENO);
    termios saved{};
    if (terminal && tcgetattr(STDIN_FILENO, &saved) == 0) {
        termios silent = saved;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        std::fprintf(stderr, "password for %s: ", user.c_str());
        if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent) != 0)
            std::perror("tapvela-server: cannot hide the typed password");
    }
    std::string line;
    const bool got = static_cast<bool>(std::getline(std::cin, line));
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputc('\n', stderr);
    }
    if (!got && line.empty())
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

int addUser(const Arguments &args)
{
    if (!onlyKnownOptions(args, {"--db"}) || args.positional.size() != 1) {
        std::fputs("usage: tapvela-server add-user [--db DB] USER   (password on standard input)\n", stderr);
        return 2;
    }
    const std::string &user = args.positional[0];
    if (const std::string problem = userNameProblem(user); !problem.empty()) {
        std::fprintf(stderr, "tapvela-server: %s\n", problem.c_str());
        return 2;
    }
    const auto opened = openStore(databaseOption(args, "tapvela-server.db"));
    Store &store = *opened;
    if (store.accountId(user)) {
        std::fprintf(stderr, "tapvela-server: the user %s exists already\n", user.c_str());
        return 1;
    }
    const auto password = readPassword(user);
    if (!password || password->empty()) {
        std::fputs("tapvela-server: no password on standard input\n", stderr);
        return 1;
    }
    // The desktop program sends only the SHA-1 digest of the password, so the digest is what gets hashed.
    const std::string hash = hashPassword(sha1Hex(*password));
    if (hash.empty()) {
        std::fputs("tapvela-server: out of memory while hashing the password\n", stderr);
        return 1;
    }
    if (!store.addAccount(user, hash)) {
        std::fprintf(stderr, "tapvela-server: the user %s exists already\n", user.c_str());
        return 1;
    }
    std::printf("user added: %s\n", user.c_str());
    return 0;
}

// The account of a command's user, or a message saying there is none.
auto existingAccount(Store &store, const std::string &user) -> decltype(store.accountId(user))
{
    auto account = store.accountId(user);
    if (!account)
        std::fprintf(stderr, "tapvela-server: no user %s\n", user.c_str());
    return account;
}

// The address the phone pages are printed under.
std::string publicUrl(const Arguments &args)
{
    return option(args, "--public-url", "http://127.0.0.1:" + std::to_string(defaultPort));
}

int addDevice(const Arguments &args)
{
    if (!onlyKnownOptions(args, {"--db", "--public-url"}) || args.positional.size() != 2) {
        std::fputs("usage: tapvela-server add-device [--db DB] [--public-url URL] USER NAME\n", stderr);
        return 2;
    }
    if (const std::string problem = deviceNameProblem(args.positional[1]); !problem.empty()) {
        std::fprintf(stderr, "tapvela-server: %s\n", problem.c_str());
        return 2;
    }
    const auto opened = openStore(databaseOption(args, "tapvela-server.db"));
    Store &store = *opened;
    const auto account = existingAccount(store, args.positional[0]);
    if (!account)
        return 1;
    const Device device = store.addDevice(*account, args.positional[1]);
    const std::string page = pageAddress(publicUrl(args), device.pageToken);
    std::printf("device id: %s\nphone page: %s\n", device.id.c_str(), page.c_str());
    printPageCode(page);
    return 0;
}

int listDevices(const Arguments &args)
{
    if (!onlyKnownOptions(args, {"--db", "--public-url"}) || args.positional.size() != 1) {
        std::fputs("usage: tapvela-server devices [--db DB] [--public-url URL] USER\n", stderr);
        return 2;
    }
    const auto opened = openStore(databaseOption(args, "tapvela-server.db"));
    Store &store = *opened;
    const auto account = existingAccount(store, args.positional[0]);
    if (!account)
        return 1;
    const std::string base = publicUrl(args);
    for (const Device &device : store.devices(*account))
        std::printf("%s\t%s\t%s\n", device.id.c_str(), device.name.c_str(),
                    pageAddress(base, device.pageToken).c_str());
    return 0;
}

// The account's device by its id or its exact name; nothing, with the reason on the terminal, when it has none
// or several of that name.
std::optional<Device> findDevice(Store &store, std::int64_t account, const std::string &user, const std::string &given)
{
    const std::vector<Device> devices = store.devices(account);
    for (const Device &device : devices)
        if (device.id == given)
            return device;
    std::vector<Device> named;
    std::copy_if(devices.begin(), devices.end(), std::back_inserter(named),
                 [&](const Device &device) { return device.name == given; });
    if (named.size() == 1)
        return named.front();
    if (named.empty()) {
        std::fprintf(stderr, "tapvela-server: %s has no device with the id or name %s\n", user.c_str(), given.c_str());
    } else {
        std::fprintf(stderr, "tapvela-server: %s has %zu devices named %s; give the id of one:", user.c_str(),
                     named.size(), given.c_str());
        for (const Device &device : named)
            std::fprintf(stderr, " %s", device.id.c_str());
        std::fputc('\n', stderr);
    }
    return std::nullopt;
}

// The operator's yes, or --yes. Without a terminal to ask on, a removal needs --yes.
bool confirmed(const Arguments &args, const std::string &question)
{
    if (args.options.count("--yes") > 0)
        return true;
    if (!isatty(STDIN_FILENO)) {
        std::fputs("tapvela-server: standard input is not a terminal to confirm on: give --yes to remove\n", stderr);
        return false;
    }
    std::fprintf(stderr, "%s [y/N] ", question.c_str());
    std::string answer;
    if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes")) {
        std::fputs("tapvela-server: nothing removed\n", stderr);
        return false;
    }
    return true;
}

std::string timeText(std::int64_t seconds)
{
    if (seconds <= 0)
        return "never";
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    char text[32];
    if (!gmtime_r(&time, &parts) || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts) == 0)
        return std::to_string(seconds);
    return text;
}

int listUsers(const Arguments &args)
{
    if (!onlyKnownOptions(args, {"--db"}) || !args.positional.empty()) {
        std::fputs("usage: tapvela-server users [--db DB]\n", stderr);
        return 2;
    }
    const auto opened = openStore(databaseOption(args, "tapvela-server.db"));
    Store &store = *opened;
    for (const AccountSummary &account : store.accounts())
        std::printf("%s\t%d device%s\tlast used %s\n", account.username.c_str(), account.devices,
                    account.devices == 1 ? "" : "s", timeText(account.lastUsedAt).c_str());
    return 0;
}

int changePassword(const Arguments &args)
{
    if (!onlyKnownOptions(args, {"--db", "--keep-sessions"}) || args.positional.size() != 1) {
        std::fputs("usage: tapvela-server passwd [--db DB] [--keep-sessions] USER   (password on standard input)\n",
                   stderr);
        return 2;
    }
    const std::string &user = args.positional[0];
    const auto opened = openStore(databaseOption(args, "tapvela-server.db"));
    Store &store = *opened;
    const auto account = existingAccount(store, user);
    if (!account)
        return 1;
    const auto password = readPassword(user);
    if (!password || password->empty()) {
        std::fputs("tapvela-server: no password on standard input\n", stderr);
        return 1;
    }
    const std::string hash = hashPassword(sha1Hex(*password));
    if (hash.empty()) {
        std::fputs("tapvela-server: out of memory while hashing the password\n", stderr);
        return 1;
    }
    const bool keep = args.options.count("--keep-sessions") > 0;
    store.setPassword(*account, hash, keep);
    std::printf(keep ? "password changed: %s (the programs signed in stay signed in)\n"
                     : "password changed: %s (every program signed in must sign in again)\n",
                user.c_str());
    return 0;
}

int signOut(const Arguments &args)
{
    if (!onlyKnownOptions(args, {"--db"}) || args.positional.size() != 1) {
        std::fputs("usage: tapvela-server sign-out [--db DB] USER\n", stderr);
        return 2;
    }
    const auto opened = openStore(databaseOption(args, "tapvela-server.db"));
    Store &store = *opened;
    const auto account = existingAccount(store, args.positional[0]);
    if (!account)
        return 1;
    const int revoked = store.revokeKeys(*account);
    std::printf("signed out: %s (%d sign-in%s revoked)\n", args.positional[0].c_str(), revoked,
                revoked == 1 ? "" : "s");
    return 0;
}

int newPage(const Arguments &args)
{
    if (!onlyKnownOptions(args, {"--db", "--public-url"}) || args.positional.size() != 2) {
        std::fputs("usage: tapvela-server new-page [--db DB] [--public-url URL] USER DEVICE\n", stderr);
        return 2;
    }
    const auto opened = openStore(databaseOption(args, "tapvela-server.db"));
    Store &store = *opened;
    const auto account = existingAccount(store, args.positional[0]);
    if (!account)
        return 1;
    const auto device = findDevice(store, *account, args.positional[0], args.positional[1]);
    if (!device)
        return 1;
    const std::string page = pageAddress(publicUrl(args), store.renewPageToken(device->row));
    std::printf("device id: %s\nnew phone page: %s\n", device->id.c_str(), page.c_str());
    printPageCode(page);
    return 0;
}

int removeDevice(const Arguments &args)
{
    if (!onlyKnownOptions(args, {"--db", "--yes"}) || args.positional.size() != 2) {
        std::fputs("usage: tapvela-server remove-device [--db DB] [--yes] USER DEVICE\n", stderr);
        return 2;
    }
    const auto opened = openStore(databaseOption(args, "tapvela-server.db"));
    Store &store = *opened;
    const auto account = existingAccount(store, args.positional[0]);
    if (!account)
        return 1;
    const auto device = findDevice(store, *account, args.positional[0], args.positional[1]);
    if (!device)
        return 1;
    if (!confirmed(args, "Remove the device " + device->name + " (id " + device->id + ") of " + args.positional[0] +
                             ", with its pushes?"))
        return 1;
    store.removeDevice(device->row);
    std::printf("device removed: %s (id %s)\n", device->name.c_str(), device->id.c_str());
    return 0;
}

int removeUser(const Arguments &args)
{
    if (!onlyKnownOptions(args, {"--db", "--yes"}) || args.positional.size() != 1) {
        std::fputs("usage: tapvela-server remove-user [--db DB] [--yes] USER\n", stderr);
        return 2;
    }
    const std::string &user = args.positional[0];
    const auto opened = openStore(databaseOption(args, "tapvela-server.db"));
    Store &store = *opened;
    const auto account = existingAccount(store, user);
    if (!account)
        return 1;
    const std::size_t devices = store.devices(*account).size();
    if (!confirmed(args, "Remove the user " + user + " with " + std::to_string(devices) + " device" +
                             (devices == 1 ? "" : "s") + " and their pushes?"))
        return 1;
    store.removeAccount(*account);
    std::printf("user removed: %s\n", user.c_str());
    return 0;
}

// The demo account and its first device, made on the first start.
int migrate(const Arguments &args)
{
    const std::string from = option(args, "--from", "");
    // Also from TAPVELA_DB_URL, so that a password need not stand on the command line.
    const char *environment = std::getenv("TAPVELA_DB_URL");
    const std::string to = option(args, "--to", environment ? environment : "");
    if (!onlyKnownOptions(args, {"--from", "--to"}) || !args.positional.empty() || from.empty() || to.empty()) {
        std::fputs("usage: tapvela-server migrate --from FILE --to postgresql://USER@HOST:PORT/DATABASE\n", stderr);
        return 2;
    }
    if (isDatabaseUrl(from) || !isDatabaseUrl(to)) {
        std::fputs("tapvela-server: migrate copies from a SQLite file (--from) to a PostgreSQL URL (--to)\n", stderr);
        return 2;
    }
    for (const auto &[table, rows] : migrateToPostgres(from, to))
        std::printf("%s: %lld\n", table.c_str(), static_cast<long long>(rows));
    std::puts("copied");
    return 0;
}

std::optional<Device> demoDevice(Store &store)
{
    auto account = store.accountId(demoUser);
    if (!account) {
        const std::string hash = hashPassword(sha1Hex(demoPassword));
        if (hash.empty())
            return std::nullopt;
        account = store.addAccount(demoUser, hash);
        if (!account)
            account = store.accountId(demoUser); // made meanwhile by another process
        if (!account)
            return std::nullopt;
    }
    const auto devices = store.devices(*account);
    return devices.empty() ? store.addDevice(*account, demoDeviceName) : devices.front();
}

// The operator's contact as push services expect it: a mailto: address or an https: URL, printable ASCII.
bool isVapidSubject(const std::string &subject)
{
    const bool printable = std::all_of(subject.begin(), subject.end(), [](char c) { return c > 0x20 && c < 0x7f; });
    if (!printable || subject.size() > 256)
        return false;
    if (subject.rfind("mailto:", 0) == 0)
        return subject.find('@') != std::string::npos && subject.find('@') > 7 && subject.back() != '@';
    if (subject.rfind("https://", 0) == 0) {
        const auto endpoint = webpush::parseEndpoint(subject);
        return endpoint.ok() && endpoint.value.scheme == "https";
    }
    return false;
}

// The domain of a mailto: subject or the host of an https: one, lowercase, without a closing dot.
std::string vapidSubjectHost(const std::string &subject)
{
    std::string host;
    if (subject.rfind("mailto:", 0) == 0)
        host = subject.substr(subject.rfind('@') + 1, subject.find('?') == std::string::npos
                                                          ? std::string::npos
                                                          : subject.find('?') - subject.rfind('@') - 1);
    else
        host = webpush::parseEndpoint(subject).value.host;
    std::transform(host.begin(), host.end(), host.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    if (!host.empty() && host.back() == '.')
        host.pop_back();
    return host;
}

bool isUnder(const std::string &host, const std::string &domain)
{
    return host == domain || (host.size() > domain.size() &&
                              host.compare(host.size() - domain.size() - 1, std::string::npos, "." + domain) == 0);
}

// Push services refuse (403) every message whose subject is at localhost or under .invalid.
bool isRefusedVapidHost(const std::string &host)
{
    return isUnder(host, "localhost") || isUnder(host, "invalid");
}

// For demo: the public address's host when it is a name on the internet, so that the subject names the operator's
// own service; empty for addresses, single labels and the names reserved for local or private use.
std::string publicHostOf(const std::string &url)
{
    const auto endpoint = webpush::parseEndpoint(url);
    const std::string &host = endpoint.value.host;
    if (!endpoint.ok() || endpoint.value.scheme != "https" || host.find('.') == std::string::npos ||
        host.find(':') != std::string::npos || host.find_first_not_of("0123456789.") == std::string::npos)
        return {};
    for (const char *local : {"localhost", "invalid", "local", "localdomain", "lan", "home", "internal", "intranet",
                              "corp", "private", "test", "example", "home.arpa", "arpa"})
        if (isUnder(host, local))
            return {};
    return host;
}

int serve(const Arguments &args, bool demo)
{
    if (!onlyKnownOptions(args, {"--listen",
                                 "--port",
                                 "--db",
                                 "--public-url",
                                 "--threads",
                                 "--log",
                                 "--keep-days",
                                 "--keep-pushes",
                                 "--key-unused-days",
                                 "--vapid-subject",
                                 "--webpush-allow-loopback-http",
                                 "--webpush-ca",
                                 "--tls-cert",
                                 "--tls-key",
                                 "--max-devices",
                                 "--max-connections",
                                 "--max-connections-per-client",
                                 "--max-tls-handshakes",
                                 "--tls-handshake-seconds",
                                 "--push-rate",
                                 "--push-burst",
                                 "--trusted-proxy"}) ||
        !args.positional.empty()) {
        std::fputs(usage, stderr);
        return 2;
    }
    const std::string address = option(args, "--listen", "127.0.0.1");
    const auto port = number(option(args, "--port", std::to_string(defaultPort)), 0, 65535);
    const auto threads = number(option(args, "--threads", "2"), 1, 1024);
    if (!port || !threads) {
        std::fputs("tapvela-server: --port takes 0 to 65535, --threads 1 to 1024\n", stderr);
        return 2;
    }
    const RetentionPolicy defaults;
    const auto keepDays = number(option(args, "--keep-days", std::to_string(defaults.keepDays)), 1, 3650);
    const auto keepPushes = number(option(args, "--keep-pushes", std::to_string(defaults.keepPushes)), 1, 1000000);
    const auto keyUnusedDays =
        number(option(args, "--key-unused-days", std::to_string(defaults.keyUnusedDays)), 1, 3650);
    if (!keepDays || !keepPushes || !keyUnusedDays) {
        std::fputs("tapvela-server: --keep-days takes 1 to 3650, --keep-pushes 1 to 1000000, --key-unused-days 1 "
                   "to 3650\n",
                   stderr);
        return 2;
    }
    const ServiceOptions defaultOptions;
    const auto maxDevices =
        number(option(args, "--max-devices", std::to_string(defaultOptions.maxDevicesPerAccount)), 1, 100000);
    if (!maxDevices) {
        std::fputs("tapvela-server: --max-devices takes 1 to 100000\n", stderr);
        return 2;
    }
    const HttpLimits defaultLimits;
    const auto maxConnections =
        number(option(args, "--max-connections", std::to_string(defaultLimits.maxConnections)), 1, 1000000);
    // Those below the total: their defaults too, when the total is set lower.
    const auto belowTotal = [&](const char *name, int fallback) -> std::optional<int> {
        if (!maxConnections)
            return std::nullopt;
        return number(option(args, name, std::to_string(std::min(fallback, *maxConnections))), 1, *maxConnections);
    };
    const auto perClient = belowTotal("--max-connections-per-client", defaultLimits.maxConnectionsPerClient);
    const auto handshakes = belowTotal("--max-tls-handshakes", defaultLimits.maxTlsHandshakes);
    const auto handshakeSeconds =
        number(option(args, "--tls-handshake-seconds", std::to_string(defaultLimits.handshakeTime.count())), 1, 600);
    if (!maxConnections || !perClient || !handshakes || !handshakeSeconds) {
        std::fputs("tapvela-server: --max-connections takes 1 to 1000000, --max-connections-per-client and "
                   "--max-tls-handshakes 1 to --max-connections, --tls-handshake-seconds 1 to 600\n",
                   stderr);
        return 2;
    }
    const auto pushRate = decimal(option(args, "--push-rate", "5"), 0.001, 100000);
    const auto pushBurst = number(option(args, "--push-burst", std::to_string(defaultOptions.pushBurst)), 1, 100000);
    if (!pushRate || !pushBurst) {
        std::fputs("tapvela-server: --push-rate takes 0.001 to 100000 (at most three decimals), --push-burst 1 to "
                   "100000\n",
                   stderr);
        return 2;
    }
    const std::string givenUrl = option(args, "--public-url", "");
    if (args.options.count("--public-url") > 0 && !isPublicUrl(givenUrl)) {
        std::fputs("tapvela-server: --public-url takes an http:// or https:// address of at most 1024 characters, "
                   "without spaces\n",
                   stderr);
        return 2;
    }
    std::optional<std::string> subject;
    if (const auto given = args.options.find("--vapid-subject"); given != args.options.end())
        subject = given->second;
    else if (const std::string host = publicHostOf(option(args, "--public-url", "")); demo && !host.empty())
        subject = "https://" + host + "/";
    if (subject && !isVapidSubject(*subject)) {
        std::fputs("tapvela-server: --vapid-subject takes mailto:ADDRESS or an https: URL\n", stderr);
        return 2;
    }
    if (subject && isRefusedVapidHost(vapidSubjectHost(*subject))) {
        std::fprintf(stderr,
                     "tapvela-server: --vapid-subject %s: push services refuse a contact at localhost or under "
                     ".invalid; give an address at a real domain, such as mailto:admin@your-domain.org\n",
                     subject->c_str());
        return 2;
    }
    const std::string tlsCert = option(args, "--tls-cert", "");
    const std::string tlsKey = option(args, "--tls-key", "");
    const bool tls = args.options.count("--tls-cert") > 0 || args.options.count("--tls-key") > 0;
    if (tls && (tlsCert.empty() || tlsKey.empty())) {
        std::fputs("tapvela-server: --tls-cert and --tls-key go together\n", stderr);
        return 2;
    }
    std::vector<std::string> trustedProxies;
    const std::string proxies = option(args, "--trusted-proxy", "");
    for (std::string_view rest = proxies; args.options.count("--trusted-proxy") > 0;) {
        const auto comma = rest.find(',');
        trustedProxies.push_back(normalAddress(rest.substr(0, comma)));
        if (trustedProxies.back().empty() || trustedProxies.size() > 64) {
            std::fputs("tapvela-server: --trusted-proxy takes the IP addresses of the reverse proxies, separated by "
                       "commas\n",
                       stderr);
            return 2;
        }
        if (comma == std::string_view::npos)
            break;
        rest = rest.substr(comma + 1);
    }
    const auto opened = openStore(databaseOption(args, demo ? "tapvela-demo.db" : "tapvela-server.db"));
    Store &store = *opened;
    std::optional<Delivery> delivery;
    if (subject) {
        DeliveryOptions deliveryOptions;
        deliveryOptions.subject = *subject;
        deliveryOptions.allowLoopbackHttp = args.options.count("--webpush-allow-loopback-http") > 0;
        deliveryOptions.extraCaFile = option(args, "--webpush-ca", "");
        delivery.emplace(store, deliveryOptions);
    }
    std::optional<Device> device;
    if (demo && !(device = demoDevice(store))) {
        std::fputs("tapvela-server: cannot create the demo account\n", stderr);
        return 1;
    }

    ServiceOptions options;
    options.threads = *threads;
    options.accessLog = args.options.count("--log") > 0;
    options.delivery = delivery ? &*delivery : nullptr;
    options.publicUrl = givenUrl;
    options.maxDevicesPerAccount = *maxDevices;
    options.http.maxConnections = *maxConnections;
    options.http.maxConnectionsPerClient = *perClient;
    options.http.maxTlsHandshakes = *handshakes;
    options.http.handshakeTime = std::chrono::seconds(*handshakeSeconds);
    options.pushesPerSecond = *pushRate;
    options.pushBurst = *pushBurst;
    options.pushesPerDevice = *keepPushes;
    options.http.trustedProxies = trustedProxies;
    Service service(store, options);
    if (std::string error; tls && !service.useTls(tlsCert, tlsKey, &error)) {
        std::fprintf(stderr, "tapvela-server: %s\n", error.c_str());
        return 1;
    }
    const int bound = service.bind(address, *port);
    if (bound < 0) {
        std::fprintf(stderr,
                     "tapvela-server: cannot listen on %s port %d (in use, or not an address of this "
                     "computer)\n",
                     address.c_str(), *port);
        return 1;
    }
    const std::string url = (tls ? "https://" : "http://") + urlHost(address) + ":" + std::to_string(bound);
    std::printf("listening on %s\n", url.c_str());
    if (demo) {
        const std::string page = pageAddress(givenUrl.empty() ? url : givenUrl, device->pageToken);
        std::printf("demo user: %s\ndemo password: %s\ndemo device: %s (id %s)\nphone page: %s\n", demoUser,
                    demoPassword, device->name.c_str(), device->id.c_str(), page.c_str());
        printPageCode(page);
    }
    if (demo && !delivery)
        std::printf("notifications with the page closed (Web Push) are off: give --vapid-subject "
                    "mailto:YOU@YOUR-DOMAIN, or --public-url with this service's https address on the internet\n");
    std::fflush(stdout);

    // SIGINT, SIGTERM and SIGHUP are blocked in every thread and taken by one, so that stopping and re-reading
    // the certificate are ordinary function calls rather than work inside a signal handler. The server's
    // threads start later and inherit the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) {
        std::fputs("tapvela-server: cannot take the signals\n", stderr);
        return 1;
    }
    // Started before the stopper, so that a failure to start it leaves no thread to join.
    Retention retention(store, RetentionPolicy{*keepDays, *keepPushes, *keyUnusedDays});
    retention.start();
    if (delivery)
        delivery->start();
    // Pushes that other instances sharing the database store reach this one's streams; deliveries that a stopped
    // instance claimed are sent by this one.
    store.watch({[&service](std::int64_t deviceRow) { service.pushStoredElsewhere(deviceRow); },
                 [&delivery] {
                     if (delivery)
                         delivery->wake();
                 }});
    std::thread stopper([&service, signals, tls, tlsCert, tlsKey] {
        int signal = 0;
        while (sigwait(&signals, &signal) == 0 && signal == SIGHUP) {
            // A renewed certificate: new connections get it, open ones keep theirs, a bad one changes nothing.
            std::string error;
            if (!tls)
                std::fputs("tapvela-server: SIGHUP: no certificate to read again (serving plain http)\n", stderr);
            else if (service.useTls(tlsCert, tlsKey, &error))
                std::fprintf(stderr, "tapvela-server: certificate read again from %s\n", tlsCert.c_str());
            else
                std::fprintf(stderr, "tapvela-server: SIGHUP: kept the previous certificate: %s\n", error.c_str());
        }
        service.stop();
    });
    const bool served = service.run();
    store.watch({});
    if (delivery)
        delivery->stop();
    retention.stop();
    service.stop();
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    if (!served) {
        std::fputs("tapvela-server: serving stopped on an error\n", stderr);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // The database holds phone numbers: keep it, its journal and its index private to the user.
    umask(077);
    // A phone page that vanished mid-write must fail the write, not end the process.
    signal(SIGPIPE, SIG_IGN);

    if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
        std::fputs(usage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    if (!initSecrets()) {
        std::fputs("tapvela-server: libsodium cannot start\n", stderr);
        return 1;
    }
    const std::string command = argv[1];
    Arguments args;
    if (!parseArguments(argc, argv, &args))
        return 2;
    try {
        if (command == "serve" || command == "demo")
            return serve(args, command == "demo");
        if (command == "add-user")
            return addUser(args);
        if (command == "add-device")
            return addDevice(args);
        if (command == "devices")
            return listDevices(args);
        if (command == "users")
            return listUsers(args);
        if (command == "passwd")
            return changePassword(args);
        if (command == "sign-out")
            return signOut(args);
        if (command == "new-page")
            return newPage(args);
        if (command == "remove-device")
            return removeDevice(args);
        if (command == "remove-user")
            return removeUser(args);
        if (command == "migrate")
            return migrate(args);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tapvela-server: %s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "tapvela-server: unknown command %s\n\n%s", command.c_str(), usage);
    return 2;
}
