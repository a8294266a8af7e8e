'use strict';
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
