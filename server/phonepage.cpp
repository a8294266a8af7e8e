#include "phonepage.h"

#include "tellink.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <ctime>

namespace pushserver {

// Drawn by tools/draw and compiled in from server/page/ by CMakeLists.txt.
extern const unsigned char homeScreenIcon192[];
extern const std::size_t homeScreenIcon192Size;
extern const unsigned char homeScreenIcon512[];
extern const std::size_t homeScreenIcon512Size;

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

// Kept in step with isCallableTel, which decides what the server writes into the first rendering.
const char *const script = R"js(
(function () {
  'use strict';
  var TEL = /^tel:\+?[0-9][0-9().\-]{0,39}$/;
  var MAX = 50;
  var list = document.getElementById('pushes');
  var empty = document.getElementById('empty');
  var state = document.getElementById('state');
  var button = document.getElementById('notify');
  var note = document.getElementById('pushnote');
  var last = Number(list.getAttribute('data-last')) || 0;
  // The page answers at /d/<token> and /d/<token>/; its worker, key and subscription live under the latter.
  var folder = location.pathname.replace(/\/+$/, '') + '/';
  var subscribed = false;

  function stamp(li) {
    var seconds = Number(li.getAttribute('data-time'));
    var time = li.querySelector('time');
    if (seconds && time) time.textContent = new Date(seconds * 1000).toLocaleString();
  }
  Array.prototype.forEach.call(list.children, stamp);

  // A notification opens the page on its push (#push-<id>): that push stands out with its Call link.
  function highlight() {
    var wanted = /^#push-(\d+)$/.exec(location.hash);
    Array.prototype.forEach.call(list.children, function (li) {
      var on = !!wanted && li.getAttribute('data-id') === wanted[1];
      li.classList.toggle('target', on);
      if (on && li.scrollIntoView) li.scrollIntoView({ block: 'center' });
    });
  }
  window.addEventListener('hashchange', highlight);
  highlight();

  function item(push) {
    var li = document.createElement('li');
    li.setAttribute('data-id', String(push.id));
    li.setAttribute('data-time', String(push.time));
    var msg = document.createElement('p');
    msg.className = 'msg';
    msg.textContent = push.msg;
    li.appendChild(msg);
    var call;
    if (typeof push.extra === 'string' && TEL.test(push.extra)) {
      call = document.createElement('a');
      call.className = 'call';
      call.setAttribute('href', push.extra);
    } else {
      call = document.createElement('span');
      call.className = 'call inert';
    }
    call.textContent = TEXT.call;
    li.appendChild(call);
    li.appendChild(document.createElement('time'));
    stamp(li);
    return li;
  }

  function notify(push) {
    if (navigator.vibrate) navigator.vibrate(200);
    // The service worker shows the same push already.
    if (subscribed || !('Notification' in window) || Notification.permission !== 'granted') return;
    try {
      new Notification('tapvela', { body: push.msg, tag: 'tapvela-' + push.id });
    } catch (e) {
      // Mobile browsers only notify through a service worker; the page itself still shows the push.
    }
  }

  function add(push) {
    if (typeof push.id !== 'number' || typeof push.msg !== 'string') return;
    if (push.id > last) last = push.id;
    if (list.querySelector('li[data-id="' + push.id + '"]')) return;
    var li = item(push);
    li.classList.add('new');
    list.insertBefore(li, list.firstChild);
    empty.hidden = true;
    while (list.children.length > MAX) list.removeChild(list.lastChild);
    highlight();
    notify(push);
  }

  // Notifications through Web Push: the service worker, the server's key and the browser's subscription. The
  // setup card shows one step at a time, named in its data-state for whoever reads the page.
  var registration = null;
  var serverKey = null;
  var setup = document.getElementById('setup');
  var test = document.getElementById('test');

  function show(state, text, action, offerTest) {
    setup.setAttribute('data-state', state);
    setup.hidden = !text && !action;
    note.textContent = text || '';
    note.hidden = !text;
    button.hidden = !action;
    button.disabled = false;
    if (action) button.textContent = action;
    button.className = state === 'on' ? 'secondary' : 'primary';
    test.hidden = !offerTest;
    test.disabled = false;
  }

  function failed(error) {
    note.textContent = TEXT.failed + error.message;
    note.hidden = false;
    setup.hidden = false;
    button.disabled = false;
    test.disabled = false;
  }

  // iOS and iPadOS give Web Push only to a page opened from the home screen; iPadOS names itself a Mac.
  function appleMobile() {
    return /iPhone|iPad|iPod/.test(navigator.userAgent) ||
           (/Macintosh/.test(navigator.userAgent) && navigator.maxTouchPoints > 1);
  }
  function standalone() {
    return navigator.standalone === true ||
           (!!window.matchMedia && window.matchMedia('(display-mode: standalone)').matches);
  }

  function subscriptionQuery(subscription) {
    return 'endpoint=' + encodeURIComponent(subscription.endpoint) +
           '&p256dh=' + base64url(subscription.getKey('p256dh')) +
           '&auth=' + base64url(subscription.getKey('auth'));
  }

  function refresh() {
    if (!registration || !serverKey) return Promise.resolve(null);
    return registration.pushManager.getSubscription().then(function (subscription) {
      subscribed = !!subscription;
      if (subscription) show('on', TEXT.on, TEXT.turnOff, true);
      else if (Notification.permission === 'denied') show('denied', TEXT.blocked, null, false);
      else show('off', TEXT.offWhat, TEXT.turnOn, false);
      return subscription;
    });
  }

  function base64url(buffer) {
    var bytes = new Uint8Array(buffer);
    var text = '';
    for (var i = 0; i < bytes.length; i++) text += String.fromCharCode(bytes[i]);
    return btoa(text).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
  }

  function bytesOf(base64) {
    var text = atob(base64.replace(/-/g, '+').replace(/_/g, '/') + '==='.slice((base64.length + 3) % 4));
    var bytes = new Uint8Array(text.length);
    for (var i = 0; i < text.length; i++) bytes[i] = text.charCodeAt(i);
    return bytes;
  }

  function post(route, query) {
    return fetch(folder + route + '?' + query, { method: 'POST', cache: 'no-store' }).then(function (reply) {
      if (reply.ok) return;
      return reply.json().then(function (body) {
        throw new Error(body && body.error ? body.error : String(reply.status));
      }, function () { throw new Error(String(reply.status)); });
    });
  }

  function turnOn() {
    var asked = new Promise(function (resolve) {
      var promise = Notification.requestPermission(resolve);
      if (promise && promise.then) promise.then(resolve);
    });
    return asked.then(function (permission) {
      if (permission !== 'granted') return;
      return registration.pushManager.subscribe({ userVisibleOnly: true, applicationServerKey: bytesOf(serverKey) })
        .then(function (subscription) {
          return post('subscription', subscriptionQuery(subscription)).catch(function (error) {
            // A subscription the server refused would stay silent: drop it.
            return subscription.unsubscribe().then(function () { throw error; }, function () { throw error; });
          });
        });
    });
  }

  function turnOff() {
    return registration.pushManager.getSubscription().then(function (subscription) {
      if (!subscription) return;
      var endpoint = subscription.endpoint;
      return subscription.unsubscribe().then(function () {
        return post('subscription', 'endpoint=' + encodeURIComponent(endpoint) + '&remove=1');
      });
    });
  }

  button.addEventListener('click', function () {
    button.disabled = true;
    (subscribed ? turnOff() : turnOn()).then(refresh).catch(function (error) {
      return refresh().then(function () { failed(error); });
    });
  });

  test.addEventListener('click', function () {
    test.disabled = true;
    registration.pushManager.getSubscription().then(function (subscription) {
      if (!subscription) return refresh().then(function () { return false; });
      return post('test-notification', 'endpoint=' + encodeURIComponent(subscription.endpoint)).then(function () {
        return true;
      });
    }).then(function (sent) {
      if (sent) note.textContent = TEXT.testSent;
      test.disabled = false;
    }, function (error) {
      // The service says why (too soon after the last test, a subscription it does not hold) in its own words.
      note.textContent = error.message;
      test.disabled = false;
    });
  });

  function offerNotifications() {
    if (!window.isSecureContext) {
      show('insecure', TEXT.plainHttp, null, false);
      return;
    }
    if (appleMobile() && !standalone()) {
      show('home-screen', TEXT.addToHome, null, false);
      return;
    }
    if (!('serviceWorker' in navigator) || !('PushManager' in window) || !('Notification' in window)) {
      show('unsupported', TEXT.needsHttps, null, false);
      return;
    }
    // Registered whether or not this server sends pushes, so that a click on a notification finds its page.
    var lang = TEXT.lang === 'fr' ? '?lang=fr' : '';
    var registered = navigator.serviceWorker.register(folder + 'sw.js' + lang, { scope: folder })
      .then(function (r) { registration = r; });
    var key = fetch(folder + 'push-key', { cache: 'no-store' }).then(function (reply) {
      return reply.ok ? reply.json() : null;
    }).then(function (body) {
      if (body && typeof body.key === 'string') serverKey = body.key;
    }, function () {});
    Promise.all([registered, key]).then(function () {
      if (!serverKey) {
        show('unavailable', TEXT.unavailable, null, false);
        return null;
      }
      return refresh();
    }).then(function (subscription) {
      // Browsers renew or drop subscriptions on their own, and only Firefox says so to the worker: the service
      // is handed the current one each time the page opens.
      if (subscription) return post('subscription', subscriptionQuery(subscription));
    }).catch(failed);
    navigator.serviceWorker.addEventListener('message', function (event) {
      if (event.data && typeof event.data.push === 'number') location.hash = 'push-' + event.data.push;
    });
  }
  offerNotifications();

  function connect() {
    if (!window.EventSource) {
      state.textContent = TEXT.reload;
      return;
    }
    var source = new EventSource(folder + 'events?after=' + last);
    source.onopen = function () { state.textContent = TEXT.live; };
    source.addEventListener('push', function (event) {
      var push;
      try { push = JSON.parse(event.data); } catch (e) { return; }
      if (push) add(push);
    });
    source.onerror = function () {
      state.textContent = TEXT.reconnecting;
      if (source.readyState === 2) {
        source.close();
        setTimeout(connect, 5000);
      }
    };
  }
  connect();
})();
)js";

// Shows the pushes that reach the phone while no page is open. Its texts come from its own address.
const char *const serviceWorker = R"js('use strict';
var FRENCH = new URL(self.location.href).searchParams.get('lang') === 'fr';
var CALL = FRENCH ? 'Appeler' : 'Call';
var UNREADABLE = FRENCH ? 'Nouveau numéro : ouvrez la page pour le voir.' : 'New number: open the page to see it.';
// As the page decides which links it offers to call.
var TEL = /^tel:\+?[0-9][0-9().\-]{0,39}$/;
var ICON = new URL('../../icon-192.png', self.registration.scope).href;

self.addEventListener('install', function () { self.skipWaiting(); });
self.addEventListener('activate', function (event) { event.waitUntil(self.clients.claim()); });

self.addEventListener('push', function (event) {
  var push = null;
  try {
    push = event.data ? event.data.json() : null;
  } catch (e) {
    push = null;
  }
  var title = 'tapvela';
  var options = { body: UNREADABLE, tag: 'tapvela', icon: ICON, data: { id: 0, number: '' } };
  // A push that cannot be read is still shown: browsers stop the pushes of a site that shows nothing.
  if (push && typeof push === 'object' && typeof push.msg === 'string' && typeof push.id === 'number') {
    var number = typeof push.number === 'string' && TEL.test(push.number) ? push.number : '';
    if (typeof push.device === 'string' && push.device) title = push.device;
    options = {
      body: number ? push.msg + '\n' + number.slice(4) : push.msg,
      tag: 'tapvela-' + push.id,
      icon: ICON,
      data: { id: push.id, number: number }
    };
    if (typeof push.time === 'number') options.timestamp = push.time * 1000;
    if (number) options.actions = [{ action: 'call', title: CALL }];
    // The page's test message names no push.
    if (push.id === 0 && FRENCH) options.body = 'tapvela est prêt';
  }
  // Always a notification, inside waitUntil: iOS drops the subscription of a site whose pushes show none.
  event.waitUntil(self.registration.showNotification(title, options));
});

// The page, focused when open (told which push to show) or opened on that push.
function openPage(id) {
  var page = self.registration.scope.replace(/\/+$/, '');
  var target = self.registration.scope + (id ? '#push-' + id : '');
  return self.clients.matchAll({ type: 'window', includeUncontrolled: true }).then(function (windows) {
    for (var i = 0; i < windows.length; i++) {
      var shown = windows[i].url.split('#')[0].replace(/\/+$/, '');
      if (shown === page && 'focus' in windows[i]) {
        if (id) windows[i].postMessage({ push: id });
        return windows[i].focus();
      }
    }
    return self.clients.openWindow(target);
  });
}

// A tap on the notification itself calls, as its Call button does: iOS shows no buttons.
self.addEventListener('notificationclick', function (event) {
  var data = event.notification.data || {};
  event.notification.close();
  var id = typeof data.id === 'number' ? data.id : 0;
  if (typeof data.number === 'string' && TEL.test(data.number)) {
    // Chromium may refuse to open a tel: address from a worker; the page, opened on the push, shows its large
    // Call link then.
    event.waitUntil(self.clients.openWindow(data.number).then(function (opened) {
      return opened === undefined ? openPage(id) : opened;
    }, function () { return openPage(id); }));
    return;
  }
  event.waitUntil(openPage(id));
});

function base64url(buffer) {
  var bytes = new Uint8Array(buffer);
  var text = '';
  for (var i = 0; i < bytes.length; i++) text += String.fromCharCode(bytes[i]);
  return btoa(text).replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');
}

// Firefox tells the worker when the browser renewed or dropped the subscription: the service gets the new one
// and forgets the old. Other browsers do not; their page sends the current one each time it opens.
self.addEventListener('pushsubscriptionchange', function (event) {
  var folder = self.registration.scope;
  var old = event.oldSubscription;
  function send(route, query) {
    return fetch(folder + route + '?' + query, { method: 'POST', cache: 'no-store' });
  }
  var renewed = event.newSubscription ? Promise.resolve(event.newSubscription) :
    fetch(folder + 'push-key', { cache: 'no-store' }).then(function (reply) { return reply.json(); })
      .then(function (body) {
        var text = atob(body.key.replace(/-/g, '+').replace(/_/g, '/') + '==='.slice((body.key.length + 3) % 4));
        var key = new Uint8Array(text.length);
        for (var i = 0; i < text.length; i++) key[i] = text.charCodeAt(i);
        return self.registration.pushManager.subscribe({ userVisibleOnly: true, applicationServerKey: key });
      });
  event.waitUntil(renewed.then(function (subscription) {
    return send('subscription', 'endpoint=' + encodeURIComponent(subscription.endpoint) + '&p256dh=' +
                base64url(subscription.getKey('p256dh')) + '&auth=' + base64url(subscription.getKey('auth')))
      .then(function () {
        if (old && old.endpoint && old.endpoint !== subscription.endpoint)
          return send('subscription', 'endpoint=' + encodeURIComponent(old.endpoint) + '&remove=1');
      });
  }).catch(function () {}));
});
)js";

const char *const style = R"css(
*{box-sizing:border-box}
body{margin:0;font-family:system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;background:#f3f4f6;color:#1f2328}
header{position:sticky;top:0;display:flex;align-items:center;gap:10px;padding:12px 16px;background:#1f6feb;color:#fff}
header h1{flex:1;margin:0;font-size:1.15rem;overflow:hidden;text-overflow:ellipsis;white-space:nowrap}
#state{font-size:.8rem;opacity:.9}
.step{margin:0 0 12px;padding:14px;border-radius:12px;background:#fff;box-shadow:0 1px 3px rgba(0,0,0,.15)}
.step p{margin:0 0 12px;font-size:1rem;line-height:1.4}
.step button{display:block;width:100%;margin-top:8px;padding:14px;border-radius:10px;font-size:1.1rem}
.step .primary{border:0;background:#1f6feb;color:#fff;font-weight:600}
.step .secondary{border:1px solid #8c959f;background:#fff;color:#1f2328}
main{max-width:40rem;margin:0 auto;padding:12px}
ol{list-style:none;margin:0;padding:0}
li{margin:0 0 12px;padding:14px;border-radius:12px;background:#fff;box-shadow:0 1px 3px rgba(0,0,0,.15)}
li.new{animation:flash 2s}
@keyframes flash{from{background:#fff3b0}to{background:#fff}}
.msg{margin:0 0 12px;font-size:1.2rem;white-space:pre-wrap;overflow-wrap:anywhere}
.call{display:block;padding:18px;border-radius:10px;background:#1a7f37;color:#fff;font-size:1.5rem;font-weight:600;
text-align:center;text-decoration:none}
.call.inert{background:#8c959f}
time{display:block;margin-top:8px;font-size:.8rem;color:#59636e}
.empty{padding:40px 0;text-align:center;color:#59636e}
li.target{box-shadow:0 0 0 3px #1f6feb}
li.target .call{padding:28px;font-size:2rem}
)css";

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
    const std::string name = htmlEscape(device.name);
    const std::string folder = htmlEscape(ownFolder);
    const std::int64_t last = newestFirst.empty() ? 0 : newestFirst.front().id;
    std::string page;
    page.reserve(16384 + newestFirst.size() * 400);
    page += "<!DOCTYPE html>\n<html lang=\"";
    page += t.lang;
    page += "\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
            "<meta name=\"referrer\" content=\"no-referrer\">\n<meta name=\"theme-color\" content=\"#1f6feb\">\n"
            "<link rel=\"manifest\" href=\"" +
            folder + "manifest.webmanifest\">\n<link rel=\"apple-touch-icon\" href=\"" + folder +
            "../../icon-192.png\">\n<title>tapvela · ";
    page += name;
    page += "</title>\n<style nonce=\"" + nonce + "\">";
    page += style;
    page += "</style>\n</head>\n<body>\n<header><h1>";
    page += name;
    page += std::string("</h1><span id=\"state\">") + t.connecting +
            "</span></header>\n<main>\n<section id=\"setup\" class=\"step\" hidden>"
            "<p id=\"pushnote\" hidden></p><button id=\"test\" type=\"button\" class=\"primary\" hidden>" +
            htmlEscape(t.sendTest) +
            "</button><button id=\"notify\" type=\"button\" hidden></button></section>\n"
            "<p id=\"empty\" class=\"empty\"";
    page += newestFirst.empty() ? ">" : " hidden>";
    page += std::string(t.noPushes) + "</p>\n<ol id=\"pushes\" data-last=\"" + std::to_string(last) + "\">\n";
    const std::string call = t.call;
    for (const Push &push : newestFirst) {
        page += "<li data-id=\"" + std::to_string(push.id) + "\" data-time=\"" + std::to_string(push.createdAt) +
                "\"><p class=\"msg\">" + htmlEscape(push.msg) + "</p>";
        if (isCallableTel(push.extra))
            page += "<a class=\"call\" href=\"" + htmlEscape(push.extra) + "\">" + call + "</a>";
        else
            page += "<span class=\"call inert\">" + call + "</span>";
        page += "<time>" + utcTime(push.createdAt) + "</time></li>\n";
    }
    page += "</ol>\n</main>\n<script nonce=\"" + nonce + "\">\nconst TEXT = " + scriptTexts(t) + ";";
    page += script;
    page += "</script>\n</body>\n</html>\n";
    return page;
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
    return serviceWorker;
}

std::string_view homeScreenIcon(int size)
{
    if (size == 192)
        return {reinterpret_cast<const char *>(homeScreenIcon192), homeScreenIcon192Size};
    if (size == 512)
        return {reinterpret_cast<const char *>(homeScreenIcon512), homeScreenIcon512Size};
    return {};
}

std::string pushJson(const Push &push)
{
    const nlohmann::ordered_json object = {
        {"id", push.id}, {"msg", push.msg}, {"extra", push.extra}, {"time", push.createdAt}};
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

} // namespace pushserver
