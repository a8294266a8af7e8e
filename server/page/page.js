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
