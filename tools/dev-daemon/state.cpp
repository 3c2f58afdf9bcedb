#include "state.hpp"

#include <cmath>
#include <exception>
#include <initializer_list>
#include <utility>

namespace devd {
namespace {

using json = nlohmann::ordered_json;

Reply ok() {
  return {200, json{{"ok", true}}};
}

Reply fail(int status, std::string message) {
  return {status, json{{"ok", false}, {"error", std::move(message)}}};
}

// A command body must be an object holding only the keys its command sends,
// so that a client that sends a stray or misspelt key hears about it.
std::string checkKeys(const json& body, std::initializer_list<std::string_view> allowed) {
  if (!body.is_object()) return "body must be a JSON object";
  for (const auto& [key, value] : body.items()) {
    bool known = false;
    for (auto a : allowed) known = known || key == a;
    if (!known) return "unexpected key \"" + key + "\"";
  }
  return {};
}

bool isWhole(const json& v) {
  return v.is_number_integer();
}

std::int64_t wholeOf(const json& v) {
  if (v.is_number_unsigned()) {
    auto u = v.get<std::uint64_t>();
    return u > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(u);
  }
  return v.get<std::int64_t>();
}

// Seconds of one smart-loop interval; 0 when the interval makes no sense, and
// then a countdown that ran out stays at 0.
std::int64_t periodSeconds(const json& entry) {
  double m = loopMinutes(entry);
  if (!std::isfinite(m) || m <= 0 || m > 1e9) return 0;
  auto s = static_cast<std::int64_t>(std::llround(m * 60.0));
  return s < 1 ? 1 : s;
}

}  // namespace

bool loopOn(const json& entry) {
  if (!entry.is_object()) return true;
  auto l = entry.find("loop");
  if (l == entry.end() || !l->is_object()) return true;
  auto on = l->find("on");
  return on == l->end() || !on->is_boolean() ? true : on->get<bool>();
}

double loopMinutes(const json& entry) {
  if (!entry.is_object()) return 10.0;
  auto l = entry.find("loop");
  if (l == entry.end() || !l->is_object()) return 10.0;
  auto m = l->find("minutes");
  return m == l->end() || !m->is_number() ? 10.0 : m->get<double>();
}

DaemonState::DaemonState(json doc, Clock::time_point now) : doc_(std::move(doc)) {
  if (!doc_.is_object()) return;
  auto a = doc_.find("active");
  if (a == doc_.end() || !a->is_array()) return;
  countdowns_.resize(a->size());
  for (std::size_t i = 0; i < a->size(); ++i) {
    const json& e = (*a)[i];
    if (!e.is_object()) continue;
    auto n = e.find("next_in");
    if (n == e.end() || !isWhole(*n)) continue;
    countdowns_[i] = {true, wholeOf(*n), now};
  }
}

std::int64_t DaemonState::remaining(std::size_t i, Clock::time_point now) const {
  const Countdown& c = countdowns_[i];
  const json& entry = doc_.at("active").at(i);
  if (!loopOn(entry)) return c.start;
  auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - c.since).count();
  if (elapsed <= 0) return c.start;
  // A countdown that starts negative is served as given until it is reset.
  if (c.start < 0) return c.start;
  if (elapsed <= c.start) return c.start - elapsed;
  std::int64_t period = periodSeconds(entry);
  if (period == 0) return 0;
  // Once it reaches 0 the check runs and the next interval starts.
  std::int64_t over = (elapsed - c.start) % period;
  return over == 0 ? 0 : period - over;
}

json DaemonState::document(Clock::time_point now) const {
  json out = doc_;
  for (std::size_t i = 0; i < countdowns_.size(); ++i)
    if (countdowns_[i].tracked) out["active"][i]["next_in"] = remaining(i, now);
  return out;
}

Reply DaemonState::command(std::string_view path, std::string_view body, Clock::time_point now) {
  try {
    if (body.empty()) return fail(400, "body is empty; send a JSON object");
    json parsed = json::parse(body, nullptr, false);
    if (parsed.is_discarded()) return fail(400, "body is not valid JSON");
    if (path == "/mute") return mute(parsed);
    if (path == "/loop") return loop(parsed, now);
    if (path == "/bind") return bind(parsed);
    return fail(404, "no such command");
  } catch (const std::exception& e) {
    return fail(500, std::string("internal error: ") + e.what());
  }
}

Reply DaemonState::mute(const json& body) {
  if (auto bad = checkKeys(body, {"muted"}); !bad.empty()) return fail(400, bad);
  auto m = body.find("muted");
  if (m == body.end() || !m->is_boolean()) return fail(400, "\"muted\" must be a boolean");
  if (!doc_.is_object()) return fail(409, "the state document is not an object");
  doc_["muted"] = m->get<bool>();
  return ok();
}

void DaemonState::setLoop(std::size_t i, bool on, const json* minutes, Clock::time_point now) {
  json& entry = doc_["active"][i];
  bool wasOn = loopOn(entry);
  double oldMinutes = loopMinutes(entry);
  std::int64_t left = countdowns_[i].tracked ? remaining(i, now) : 0;

  auto l = entry.find("loop");
  if (l == entry.end() || !l->is_object()) entry["loop"] = json::object();
  entry["loop"]["on"] = on;
  if (minutes) entry["loop"]["minutes"] = *minutes;

  Countdown& c = countdowns_[i];
  if (!c.tracked) return;
  bool restart = on && (!wasOn || loopMinutes(entry) != oldMinutes);
  if (restart) {
    c = {true, periodSeconds(entry), now};
  } else if (wasOn && !on) {
    c = {true, left, now};  // frozen where it stood
  }
}

Reply DaemonState::loop(const json& body, Clock::time_point now) {
  if (auto bad = checkKeys(body, {"key", "all", "on", "minutes"}); !bad.empty())
    return fail(400, bad);
  auto on = body.find("on");
  if (on == body.end() || !on->is_boolean()) return fail(400, "\"on\" must be a boolean");
  bool hasKey = body.contains("key");
  bool hasAll = body.contains("all");
  if (hasKey == hasAll) return fail(400, "send exactly one of \"key\" and \"all\"");
  const json* minutes = nullptr;
  if (auto m = body.find("minutes"); m != body.end()) {
    if (hasAll) return fail(400, "\"minutes\" goes with \"key\" only");
    if (!isWhole(*m) || wholeOf(*m) < 1)
      return fail(400, "\"minutes\" must be a whole number of at least 1");
    minutes = &*m;
  }
  if (hasAll) {
    if (!body.at("all").is_boolean() || !body.at("all").get<bool>())
      return fail(400, "\"all\" must be true");
  } else if (!body.at("key").is_string()) {
    return fail(400, "\"key\" must be a string");
  }
  if (!doc_.is_object()) return fail(409, "the state document is not an object");

  auto a = doc_.find("active");
  std::size_t changed = 0;
  if (a != doc_.end() && a->is_array()) {
    for (std::size_t i = 0; i < a->size(); ++i) {
      const json& e = (*a)[i];
      if (!e.is_object()) continue;
      if (hasKey) {
        auto k = e.find("key");
        if (k == e.end() || *k != body.at("key")) continue;
      }
      setLoop(i, on->get<bool>(), minutes, now);
      ++changed;
    }
  }
  if (hasKey && changed == 0)
    return fail(404, "no session with key \"" + body.at("key").get<std::string>() + "\"");
  Reply r = ok();
  r.body["changed"] = changed;
  return r;
}

Reply DaemonState::bind(const json& body) {
  if (auto bad = checkKeys(body, {"project"}); !bad.empty()) return fail(400, bad);
  auto p = body.find("project");
  if (p == body.end() || !p->is_string()) return fail(400, "\"project\" must be a string");
  if (!doc_.is_object()) return fail(409, "the state document is not an object");
  // The menu binds by a session's spoken name; anything else is a client fault.
  bool found = false;
  if (auto a = doc_.find("active"); a != doc_.end() && a->is_array())
    for (const json& e : *a)
      if (e.is_object() && e.contains("spoken") && e["spoken"] == *p) found = true;
  if (!found) return fail(404, "no session spoken as \"" + p->get<std::string>() + "\"");
  doc_["bound"] = *p;
  return ok();
}

}  // namespace devd
