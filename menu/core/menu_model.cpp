#include "menu_model.hpp"

#include <cmath>
#include <string>
#include <unordered_set>
#include <utility>

#include "constants.hpp"
#include "text.hpp"

namespace ombru::menu {

namespace {

Item info(std::string title) {
  Item i;
  i.title = std::move(title);
  i.enabled = false;
  return i;
}

Item separator() {
  Item i;
  i.separator = true;
  return i;
}

Item command(std::string title, std::string_view action, std::string key = {}) {
  Item i;
  i.title = std::move(title);
  i.action = std::string(action);
  i.keyEquivalent = std::move(key);
  return i;
}

std::string sessionTitle(const Active& a) {
  std::string t = "  ";
  t += truncate(a.title, TITLE_LIMIT);
  t += "  \u2014  ";
  t += a.spoken;
  if (!a.state.empty()) t += " \u00b7 " + a.state;
  if (a.idle >= 1) t += " \u00b7 " + std::to_string(a.idle) + "m idle";
  t += "  \u00b7  ";
  t += a.loopOn ? countdown(a.nextIn) : std::string("smart loop off");
  return t;
}

Menu sessionSubmenu(const Active& a) {
  Menu m;
  Item toggle = command(a.loopOn ? "Smart loop on \u2014 click to turn off"
                                 : "Smart loop off \u2014 click to turn on",
                        actions::toggleLoop);
  toggle.represented = a.key;
  toggle.checked = a.loopOn;
  m.push_back(std::move(toggle));
  m.push_back(separator());
  m.push_back(info("Check every"));
  std::optional<std::int64_t> marked = wholeMinutes(a.minutes);
  for (std::int64_t choice : MINUTE_CHOICES) {
    Item c = command("  " + std::to_string(choice) + " minutes", actions::setMinutes);
    c.represented = RepresentedMap{{"key", a.key}, {"minutes", choice}};
    c.checked = marked && *marked == choice;
    m.push_back(std::move(c));
  }
  m.push_back(separator());
  Item talk = command("Talk to this session", actions::bind);
  talk.represented = a.spoken;
  m.push_back(std::move(talk));
  return m;
}

Menu sessionsSubmenu(const std::vector<Active>& active) {
  // Hosts in order of first appearance.
  std::vector<std::string_view> hosts;
  std::unordered_set<std::string_view> seen;
  for (const Active& a : active)
    if (seen.insert(a.host).second) hosts.push_back(a.host);

  Menu m;
  for (std::string_view host : hosts) {
    m.push_back(info(std::string(host)));
    for (const Active& a : active) {
      if (a.host != host) continue;
      Item entry;
      entry.title = sessionTitle(a);
      entry.submenu = sessionSubmenu(a);
      m.push_back(std::move(entry));
    }
  }
  m.push_back(separator());
  Item on = command("All smart loops on", actions::allLoops);
  on.represented = true;
  m.push_back(std::move(on));
  Item off = command("All smart loops off", actions::allLoops);
  off.represented = false;
  m.push_back(std::move(off));
  return m;
}

}  // namespace

std::optional<std::int64_t> wholeMinutes(double minutes) noexcept {
  // Only values in [-2^63, 2^63) have an integer form; NaN fails both tests.
  if (!(minutes >= -9223372036854775808.0 && minutes < 9223372036854775808.0)) return std::nullopt;
  return static_cast<std::int64_t>(std::trunc(minutes));
}

Menu buildMenu(const State& s) {
  Menu m;
  Item header = info("Ombru Voice");
  header.header = true;
  m.push_back(std::move(header));

  if (!s.running) {
    m.push_back(info("Not running"));
    m.push_back(separator());
    m.push_back(command("Start Ombru", actions::startDaemon));
    m.push_back(command("Quit", actions::quit, "q"));
    return m;
  }

  m.push_back(info(s.muted ? "Muted" : s.chat ? "Listening" : "Listening after briefings"));
  if (!s.bound.empty()) m.push_back(info("Talking to " + s.bound));
  if (!s.voice.empty())
    m.push_back(info("Voice " + s.voice + " \u00b7 hearing " + s.hearing + " \u00b7 on this Mac"));
  if (!s.takeaway.empty()) {
    m.push_back(separator());
    m.push_back(info(s.project.empty() ? std::string("Last") : "Last \u00b7 " + s.project));
    m.push_back(info("  " + truncate(s.takeaway, TAKEAWAY_LIMIT)));
  }
  if (!s.active.empty()) {
    m.push_back(separator());
    std::size_t looping = 0;
    for (const Active& a : s.active) looping += a.loopOn ? 1 : 0;
    Item sessions;
    sessions.title = "Sessions \u00b7 " + std::to_string(s.active.size()) + " active, " +
                     std::to_string(looping) + " on smart loop";
    sessions.submenu = sessionsSubmenu(s.active);
    m.push_back(std::move(sessions));
  }
  if (!s.waiting.empty()) {
    std::string line = "Waiting: ";
    for (std::size_t i = 0; i < s.waiting.size(); ++i) {
      if (i > 0) line += ", ";
      line += s.waiting[i];
    }
    m.push_back(info(std::move(line)));
  }
  m.push_back(separator());
  m.push_back(command(s.muted ? "Unmute" : "Mute", actions::toggleMute, "m"));
  m.push_back(command("Open Log", actions::openLog, "l"));
  m.push_back(command("Your Brain\u2026", actions::openBrain, "b"));
  m.push_back(command("Open Settings File", actions::openConfig, ","));
  m.push_back(separator());
  m.push_back(command("Restart Ombru", actions::restart, "r"));
  m.push_back(command("Quit Ombru", actions::quit, "q"));
  return m;
}

}  // namespace ombru::menu
