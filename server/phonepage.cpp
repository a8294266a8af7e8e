#include "phonepage.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <ctime>

namespace pushserver {

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
  var last = Number(list.getAttribute('data-last')) || 0;

  function stamp(li) {
    var seconds = Number(li.getAttribute('data-time'));
    var time = li.querySelector('time');
    if (seconds && time) time.textContent = new Date(seconds * 1000).toLocaleString();
  }
  Array.prototype.forEach.call(list.children, stamp);

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
    call.textContent = 'Call';
    li.appendChild(call);
    li.appendChild(document.createElement('time'));
    stamp(li);
    return li;
  }

  function notify(push) {
    if (navigator.vibrate) navigator.vibrate(200);
    if (!('Notification' in window) || Notification.permission !== 'granted') return;
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
    notify(push);
  }

  function offerNotifications() {
    button.hidden = !('Notification' in window) || Notification.permission !== 'default';
  }
  button.addEventListener('click', function () {
    var asked = Notification.requestPermission(offerNotifications);
    if (asked && asked.then) asked.then(offerNotifications);
  });
  offerNotifications();

  function connect() {
    if (!window.EventSource) {
      state.textContent = 'reload to update';
      return;
    }
    var source = new EventSource(location.pathname.replace(/\/+$/, '') + '/events?after=' + last);
    source.onopen = function () { state.textContent = 'live'; };
    source.addEventListener('push', function (event) {
      var push;
      try { push = JSON.parse(event.data); } catch (e) { return; }
      if (push) add(push);
    });
    source.onerror = function () {
      state.textContent = 'reconnecting…';
      if (source.readyState === 2) {
        source.close();
        setTimeout(connect, 5000);
      }
    };
  }
  connect();
})();
)js";

const char *const style = R"css(
*{box-sizing:border-box}
body{margin:0;font-family:system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;background:#f3f4f6;color:#1f2328}
header{position:sticky;top:0;display:flex;align-items:center;gap:10px;padding:12px 16px;background:#1f6feb;color:#fff}
header h1{flex:1;margin:0;font-size:1.15rem;overflow:hidden;text-overflow:ellipsis;white-space:nowrap}
#state{font-size:.8rem;opacity:.9}
#notify{border:0;border-radius:8px;padding:8px 10px;background:#fff;color:#1f6feb;font-size:.85rem}
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

bool isCallableTel(std::string_view extra)
{
    constexpr std::string_view scheme = "tel:";
    if (extra.substr(0, scheme.size()) != scheme)
        return false;
    std::string_view number = extra.substr(scheme.size());
    if (!number.empty() && number.front() == '+')
        number.remove_prefix(1);
    if (number.empty() || number.size() > 40 || number.front() < '0' || number.front() > '9')
        return false;
    return std::all_of(number.begin(), number.end(),
                       [](char c) { return (c >= '0' && c <= '9') || c == '(' || c == ')' || c == '.' || c == '-'; });
}

std::string renderPhonePage(const Device &device, const std::vector<Push> &newestFirst, const std::string &nonce)
{
    const std::string name = htmlEscape(device.name);
    const std::int64_t last = newestFirst.empty() ? 0 : newestFirst.front().id;
    std::string page;
    page.reserve(8192 + newestFirst.size() * 400);
    page += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
            "<meta name=\"referrer\" content=\"no-referrer\">\n<title>tapvela · ";
    page += name;
    page += "</title>\n<style nonce=\"" + nonce + "\">";
    page += style;
    page += "</style>\n</head>\n<body>\n<header><h1>";
    page += name;
    page += "</h1><span id=\"state\">connecting…</span><button id=\"notify\" type=\"button\" hidden>Notify me</button>"
            "</header>\n<main>\n<p id=\"empty\" class=\"empty\"";
    page += newestFirst.empty() ? ">" : " hidden>";
    page += "No pushes yet.</p>\n<ol id=\"pushes\" data-last=\"" + std::to_string(last) + "\">\n";
    for (const Push &push : newestFirst) {
        page += "<li data-id=\"" + std::to_string(push.id) + "\" data-time=\"" + std::to_string(push.createdAt) +
                "\"><p class=\"msg\">" + htmlEscape(push.msg) + "</p>";
        if (isCallableTel(push.extra))
            page += "<a class=\"call\" href=\"" + htmlEscape(push.extra) + "\">Call</a>";
        else
            page += "<span class=\"call inert\">Call</span>";
        page += "<time>" + utcTime(push.createdAt) + "</time></li>\n";
    }
    page += "</ol>\n</main>\n<script nonce=\"" + nonce + "\">";
    page += script;
    page += "</script>\n</body>\n</html>\n";
    return page;
}

std::string pushJson(const Push &push)
{
    const nlohmann::ordered_json object = {
        {"id", push.id}, {"msg", push.msg}, {"extra", push.extra}, {"time", push.createdAt}};
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

} // namespace pushserver
