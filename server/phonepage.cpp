#include "phonepage.h"

#include "tellink.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <ctime>
#include <initializer_list>
#include <stdexcept>
#include <utility>

namespace pushserver {

// The files of server/page/, compiled in by CMakeLists.txt (embed.cmake). The icons are drawn by
// tools/draw. page.js is kept in step with isCallableTel, which decides what the server writes into the
// first rendering; sw.js shows the pushes that reach the phone while no page is open, its texts chosen by its own
// address.
extern const unsigned char pageHtml[], pageCss[], pageJs[], serviceWorkerJs[], homeScreenIcon192[], homeScreenIcon512[];
extern const std::size_t pageHtmlSize, pageCssSize, pageJsSize, serviceWorkerJsSize, homeScreenIcon192Size,
    homeScreenIcon512Size;

namespace {

std::string utcTime(std::int64_t seconds)
{
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm parts{};
    char text[32];
    if (!gmtime_r(&time, &parts) || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts) == 0)
        return {};
    return text;
}

// The texts of the page and its script, one set per language. The English ones are the page's originals.
struct Texts
{
    const char *lang;
    const char *connecting;
    const char *live;
    const char *reconnecting;
    const char *reloadToUpdate;
    const char *noPushes;
    const char *call;
    const char *turnOn;
    const char *turnOff;
    const char *on;
    const char *needsHttps;
    const char *blocked;
    const char *unavailable;
    const char *failed;
    const char *manifestDescription;
    const char *offWhat;
    const char *plainHttp;
    const char *addToHome;
    const char *sendTest;
    const char *testSent;
};

const Texts english{"en",
                    "connecting…",
                    "live",
                    "reconnecting…",
                    "reload to update",
                    "No pushes yet.",
                    "Call",
                    "Turn on notifications",
                    "Turn off notifications",
                    "Notifications are on: numbers reach this phone even with the page closed.",
                    "This browser cannot show notifications from a web page: open this page in Chrome, Firefox, "
                    "Edge or Samsung Internet (on an iPhone or iPad: in Safari, added to the home screen).",
                    "Notifications are blocked for this page. To allow them again: on Android, tap the icon left of "
                    "the address, then Permissions (or Site settings), Notifications, Allow; on an iPhone or iPad, "
                    "Settings, Notifications, tapvela, Allow Notifications; on a computer, the icon left of the "
                    "address, Notifications, Allow. Then reload this page.",
                    "Notifications are not available on this server.",
                    "Notifications could not be changed: ",
                    "Numbers sent from the computer, ready to call",
                    "One step: turn on notifications. Then each number sent from the computer shows on this phone "
                    "as a notification, even with this page closed, and a tap on it calls the number.",
                    "Notifications cannot work here: this page was opened over plain http, and browsers show "
                    "notifications only for pages over https. Open the https address that your administrator "
                    "gives for this phone. Numbers still show below while the page is open.",
                    "On an iPhone or iPad, notifications reach only a page added to the home screen. 1. Tap Share "
                    "(the square with an arrow) in Safari. 2. Tap “Add to Home Screen”, then "
                    "“Add”. 3. Open tapvela from the home screen and turn on notifications there.",
                    "Send a test notification",
                    "Test sent: the notification “tapvela is ready” shows in a few seconds."};

const Texts french{"fr",
                   "connexion…",
                   "en direct",
                   "reconnexion…",
                   "rechargez la page pour la mettre à jour",
                   "Aucun numéro reçu pour l’instant.",
                   "Appeler",
                   "Activer les notifications",
                   "Désactiver les notifications",
                   "Notifications activées : les numéros arrivent sur ce téléphone même page fermée.",
                   "Ce navigateur ne peut pas afficher de notifications d’une page web : ouvrez cette page dans "
                   "Chrome, Firefox, Edge ou Samsung Internet (sur iPhone ou iPad : dans Safari, ajoutée à "
                   "l’écran d’accueil).",
                   "Les notifications sont bloquées pour cette page. Pour les autoriser à nouveau : sur Android, "
                   "touchez l’icône à gauche de l’adresse, puis Autorisations (ou Paramètres du site), "
                   "Notifications, Autoriser ; sur iPhone ou iPad, Réglages, Notifications, tapvela, Autoriser "
                   "les notifications ; sur un ordinateur, l’icône à gauche de l’adresse, Notifications, "
                   "Autoriser. Puis rechargez cette page.",
                   "Les notifications ne sont pas disponibles sur ce serveur.",
                   "Impossible de modifier les notifications : ",
                   "Les numéros envoyés depuis l’ordinateur, prêts à appeler",
                   "Une seule étape : activez les notifications. Chaque numéro envoyé depuis l’ordinateur "
                   "s’affichera alors sur ce téléphone, même page fermée, et un appui dessus appelle le numéro.",
                   "Les notifications ne peuvent pas fonctionner ici : cette page est ouverte en http simple, et "
                   "les navigateurs n’affichent de notifications que pour les pages en https. Ouvrez l’adresse en "
                   "https que votre administrateur donne pour ce téléphone. Les numéros s’affichent quand même "
                   "ci-dessous tant que la page est ouverte.",
                   "Sur iPhone ou iPad, les notifications n’arrivent qu’à une page ajoutée à l’écran d’accueil. "
                   "1. Touchez Partager (le carré avec une flèche) dans Safari. 2. Touchez « Sur l’écran "
                   "d’accueil », puis « Ajouter ». 3. Ouvrez tapvela depuis l’écran d’accueil et activez-y les "
                   "notifications.",
                   "Envoyer une notification de test",
                   "Test envoyé : la notification « tapvela is ready » s’affiche dans quelques secondes."};

const Texts &textsOf(PageLanguage language)
{
    return language == PageLanguage::French ? french : english;
}

// The texts that the script needs, as a JavaScript object. Constants of ours: no markup to escape.
std::string scriptTexts(const Texts &t)
{
    const nlohmann::ordered_json object = {{"lang", t.lang},
                                           {"live", t.live},
                                           {"reconnecting", t.reconnecting},
                                           {"reload", t.reloadToUpdate},
                                           {"call", t.call},
                                           {"turnOn", t.turnOn},
                                           {"turnOff", t.turnOff},
                                           {"on", t.on},
                                           {"needsHttps", t.needsHttps},
                                           {"blocked", t.blocked},
                                           {"unavailable", t.unavailable},
                                           {"failed", t.failed},
                                           {"offWhat", t.offWhat},
                                           {"plainHttp", t.plainHttp},
                                           {"addToHome", t.addToHome},
                                           {"sendTest", t.sendTest},
                                           {"testSent", t.testSent}};
    return object.dump();
}

// The page's files in server/page/, compiled in by CMakeLists.txt.
std::string_view embedded(const unsigned char *bytes, std::size_t size)
{
    return {reinterpret_cast<const char *>(bytes), size};
}

// Fills page.html's {{name}} places in one pass: a value is never searched for places, so a device named
// "{{nonce}}" shows as it is named. A place without a value is a fault of ours in the template.
using PlaceValues = std::initializer_list<std::pair<std::string_view, std::string_view>>;

std::string fillPlaces(std::string_view text, PlaceValues values, std::size_t sizeHint)
{
    std::string out;
    out.reserve(sizeHint);
    for (;;) {
        const std::size_t open = text.find("{{");
        out.append(text.substr(0, open));
        if (open == std::string_view::npos)
            return out;
        const std::size_t close = text.find("}}", open + 2);
        if (close == std::string_view::npos)
            throw std::logic_error("page.html has an unclosed {{");
        const std::string_view name = text.substr(open + 2, close - open - 2);
        const auto value =
            std::find_if(values.begin(), values.end(), [&](const auto &place) { return place.first == name; });
        if (value == values.end())
            throw std::logic_error("page.html has no value for {{" + std::string(name) + "}}");
        out.append(value->second);
        text.remove_prefix(close + 2);
    }
}

} // namespace

std::string htmlEscape(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

std::string renderPhonePage(const Device &device, const std::vector<Push> &newestFirst, const std::string &nonce,
                            PageLanguage language, const std::string &ownFolder)
{
    const Texts &t = textsOf(language);
    const std::string call = t.call;
    std::string pushes;
    pushes.reserve(newestFirst.size() * 400);
    for (const Push &push : newestFirst) {
        pushes += "<li data-id=\"" + std::to_string(push.id) + "\" data-time=\"" + std::to_string(push.createdAt) +
                  "\"><p class=\"msg\">" + htmlEscape(push.msg) + "</p>";
        if (isCallableTel(push.extra))
            pushes += "<a class=\"call\" href=\"" + htmlEscape(push.extra) + "\">" + call + "</a>";
        else
            pushes += "<span class=\"call inert\">" + call + "</span>";
        pushes += "<time>" + utcTime(push.createdAt) + "</time></li>\n";
    }
    const std::string name = htmlEscape(device.name);
    const std::string last = std::to_string(newestFirst.empty() ? 0 : newestFirst.front().id);
    return fillPlaces(embedded(pageHtml, pageHtmlSize),
                      {{"lang", t.lang},
                       {"folder", htmlEscape(ownFolder)},
                       {"name", name},
                       {"nonce", nonce},
                       {"style", embedded(pageCss, pageCssSize)},
                       {"connecting", t.connecting},
                       {"sendTest", htmlEscape(t.sendTest)},
                       {"emptyHidden", newestFirst.empty() ? "" : " hidden"},
                       {"noPushes", t.noPushes},
                       {"last", last},
                       {"pushes", pushes},
                       {"texts", scriptTexts(t)},
                       {"script", embedded(pageJs, pageJsSize)}},
                      16384 + pushes.size());
}

PageLanguage pageLanguage(std::string_view header)
{
    // The best weight of each language and where in the header it was first reached; -1: not named.
    struct Choice
    {
        int weight = -1;
        std::size_t position = 0;
    };
    Choice english, french, anyOther;
    std::size_t position = 0;
    while (!header.empty()) {
        const std::size_t comma = header.find(',');
        std::string_view range = header.substr(0, comma);
        header = comma == std::string_view::npos ? std::string_view() : header.substr(comma + 1);
        ++position;

        // "tag;q=0.8", with optional white space; weights in thousandths.
        std::string_view params;
        if (const std::size_t semicolon = range.find(';'); semicolon != std::string_view::npos) {
            params = range.substr(semicolon + 1);
            range = range.substr(0, semicolon);
        }
        const auto trim = [](std::string_view text) {
            while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
                text.remove_prefix(1);
            while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
                text.remove_suffix(1);
            return text;
        };
        range = trim(range);
        params = trim(params);
        int weight = 1000;
        if (!params.empty()) {
            if (params.size() < 3 || (params[0] != 'q' && params[0] != 'Q') || params[1] != '=')
                continue;
            const std::string_view q = trim(params.substr(2));
            // qvalue = ( "0" [ "." 0*3DIGIT ] ) / ( "1" [ "." 0*3("0") ] )
            if (q.empty() || (q[0] != '0' && q[0] != '1') || (q.size() > 1 && (q[1] != '.' || q.size() > 5)))
                continue;
            weight = (q[0] - '0') * 1000;
            bool valid = true;
            int scale = 100;
            for (std::size_t i = 2; i < q.size(); ++i, scale /= 10) {
                if (q[i] < '0' || q[i] > '9' || (q[0] == '1' && q[i] != '0'))
                    valid = false;
                else
                    weight += (q[i] - '0') * scale;
            }
            if (!valid)
                continue;
        }
        const std::string_view primary = range.substr(0, range.find('-'));
        const auto is = [&](std::string_view name) {
            return primary.size() == name.size() &&
                   std::equal(primary.begin(), primary.end(), name.begin(),
                              [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a + 32 : a) == b; });
        };
        Choice *choice = is("en") ? &english : is("fr") ? &french : range == "*" ? &anyOther : nullptr;
        if (choice && weight > choice->weight)
            *choice = Choice{weight, position};
    }
    if (english.weight < 0)
        english = anyOther;
    if (french.weight < 0)
        french = anyOther;
    const bool frenchWins = french.weight > english.weight || (french.weight == english.weight && french.weight > 0 &&
                                                               french.position < english.position);
    return frenchWins && french.weight > 0 ? PageLanguage::French : PageLanguage::English;
}

std::string webAppManifest(const Device &device, PageLanguage language)
{
    const Texts &t = textsOf(language);
    // Read from /d/<token>/manifest.webmanifest: the page is /d/<token>, the icons at the service's root.
    const std::string page = "../" + device.pageToken;
    const nlohmann::ordered_json manifest = {
        {"name", "tapvela · " + device.name},
        {"short_name", "tapvela"},
        {"description", t.manifestDescription},
        {"lang", t.lang},
        {"id", page},
        {"start_url", page},
        {"scope", page},
        {"display", "standalone"},
        {"background_color", "#f3f4f6"},
        {"theme_color", "#1f6feb"},
        {"icons",
         {{{"src", "../../icon-192.png"}, {"sizes", "192x192"}, {"type", "image/png"}},
          {{"src", "../../icon-512.png"}, {"sizes", "512x512"}, {"type", "image/png"}}}}};
    return manifest.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string_view serviceWorkerScript()
{
    return embedded(serviceWorkerJs, serviceWorkerJsSize);
}

std::string_view homeScreenIcon(int size)
{
    if (size == 192)
        return embedded(homeScreenIcon192, homeScreenIcon192Size);
    if (size == 512)
        return embedded(homeScreenIcon512, homeScreenIcon512Size);
    return {};
}

std::string pushJson(const Push &push)
{
    const nlohmann::ordered_json object = {
        {"id", push.id}, {"msg", push.msg}, {"extra", push.extra}, {"time", push.createdAt}};
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

} // namespace pushserver
