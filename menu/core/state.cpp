#include "state.hpp"

#include "state_detail.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace ombru::menu {

Active::Active(std::string key, std::string host, std::string title, std::string spoken,
               std::string state, std::int64_t idle, bool loopOn, double minutes,
               std::int64_t nextIn)
    : key(std::move(key)),
      host(std::move(host)),
      title(std::move(title)),
      spoken(std::move(spoken)),
      state(std::move(state)),
      idle(idle),
      loopOn(loopOn),
      minutes(minutes),
      nextIn(nextIn) {}

Active::Active(std::string key, std::string host, std::string title, std::string spoken,
               std::string state, std::int64_t idle, std::int64_t nextIn)
    : Active(std::move(key), std::move(host), std::move(title), std::move(spoken), std::move(state),
             idle, true, 10.0, nextIn) {}

namespace {

using json = nlohmann::json;

// The parts of the document the decoder reads. Parsing keeps only these, so a
// huge or deeply nested document costs memory only for what matters, and no
// step of parsing, keeping or dropping recurses.
enum class Node {
  Skip,          // not read: dropped whole
  Leaf,          // only its type and scalar value are read; containers kept empty
  Top,           // the document
  Sessions,      // array of Leaf
  Waiting,       // array of WaitingEntry
  WaitingEntry,  // object: "project"
  Last,          // object: "takeaway", "project"
  Engines,       // object: "voice", "hearing"
  ActiveList,    // array of ActiveEntry
  ActiveEntry,   // object: the session's keys
  Loop,          // object: "on", "minutes"
};

bool isObjectNode(Node n) {
  return n == Node::Top || n == Node::WaitingEntry || n == Node::Last || n == Node::Engines ||
         n == Node::ActiveEntry || n == Node::Loop;
}

bool isArrayNode(Node n) {
  return n == Node::Sessions || n == Node::Waiting || n == Node::ActiveList;
}

Node elementOf(Node array) {
  switch (array) {
    case Node::Sessions:
      return Node::Leaf;
    case Node::Waiting:
      return Node::WaitingEntry;
    case Node::ActiveList:
      return Node::ActiveEntry;
    default:
      return Node::Skip;
  }
}

Node childOf(Node object, const std::string& k) {
  switch (object) {
    case Node::Top:
      if (k == "muted" || k == "chat" || k == "bound") return Node::Leaf;
      if (k == "sessions") return Node::Sessions;
      if (k == "waiting") return Node::Waiting;
      if (k == "last") return Node::Last;
      if (k == "engines") return Node::Engines;
      if (k == "active") return Node::ActiveList;
      return Node::Skip;
    case Node::WaitingEntry:
      return k == "project" ? Node::Leaf : Node::Skip;
    case Node::Last:
      return k == "takeaway" || k == "project" ? Node::Leaf : Node::Skip;
    case Node::Engines:
      return k == "voice" || k == "hearing" ? Node::Leaf : Node::Skip;
    case Node::ActiveEntry:
      if (k == "loop") return Node::Loop;
      if (k == "key" || k == "host" || k == "title" || k == "spoken" || k == "state" ||
          k == "idle_minutes" || k == "next_in")
        return Node::Leaf;
      return Node::Skip;
    case Node::Loop:
      return k == "on" || k == "minutes" ? Node::Leaf : Node::Skip;
    default:
      return Node::Skip;
  }
}

// SAX handler that builds the pruned document. A container that sits where a
// different type (or only a scalar) is expected is kept empty, so every type
// test on a read key sees the same type as in the full document.
class Pruner final : public nlohmann::json_sax<json> {
 public:
  json root;
  bool failed = false;
  bool overflow = false;

  bool null() override { return scalar(json(nullptr)); }
  bool boolean(bool v) override { return scalar(json(v)); }
  bool number_integer(number_integer_t v) override { return scalar(json(v)); }
  bool number_unsigned(number_unsigned_t v) override { return scalar(json(v)); }
  bool number_float(number_float_t v, const string_t&) override { return scalar(json(v)); }
  bool string(string_t& v) override { return scalar(json(std::move(v))); }
  bool binary(binary_t&) override { return scalar(json(nullptr)); }
  bool start_object(std::size_t) override { return start(true); }
  bool start_array(std::size_t) override { return start(false); }
  bool end_object() override { return end(); }
  bool end_array() override { return end(); }

  bool key(string_t& k) override {
    if (skip_ > 0) return true;
    Frame& f = stack_.back();
    slotNode_ = childOf(f.node, k);
    slot_ = slotNode_ == Node::Skip ? nullptr : &(*f.value)[k];
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    failed = true;
    overflow = e.id == 406;  // a number beyond the range of a double
    return false;
  }

 private:
  struct Frame {
    json* value;
    Node node;
  };
  std::vector<Frame> stack_;
  std::size_t skip_ = 0;  // depth inside a dropped subtree
  json* slot_ = nullptr;  // where the value after the last key goes
  Node slotNode_ = Node::Skip;

  // Where the next value goes, or null when it is dropped.
  std::pair<json*, Node> target() {
    if (stack_.empty()) return {&root, Node::Top};
    Frame& f = stack_.back();
    if (f.value->is_object()) {
      json* s = slot_;
      slot_ = nullptr;
      return {s, slotNode_};
    }
    Node el = elementOf(f.node);
    if (el == Node::Skip) return {nullptr, el};
    f.value->push_back(json(nullptr));
    return {&f.value->back(), el};
  }

  bool scalar(json v) {
    if (skip_ > 0) return true;
    auto [at, node] = target();
    if (at != nullptr) *at = std::move(v);
    return true;
  }

  bool start(bool object) {
    if (skip_ > 0) {
      ++skip_;
      return true;
    }
    auto [at, node] = target();
    if (at == nullptr) {
      ++skip_;
      return true;
    }
    *at = object ? json::object() : json::array();
    if (object ? isObjectNode(node) : isArrayNode(node)) {
      stack_.push_back({at, node});
    } else {
      ++skip_;
    }
    return true;
  }

  bool end() {
    if (skip_ > 0) {
      --skip_;
    } else if (!stack_.empty()) {
      stack_.pop_back();
    }
    return true;
  }
};

const json* member(const json& object, const char* k) {
  auto it = object.find(k);
  return it == object.end() ? nullptr : &*it;
}

void readBool(const json& object, const char* k, bool& out) {
  const json* v = member(object, k);
  if (v == nullptr) return;
  if (auto p = v->get_ptr<const json::boolean_t*>()) out = *p;
}

void readString(const json& object, const char* k, std::string& out) {
  const json* v = member(object, k);
  if (v == nullptr) return;
  if (auto p = v->get_ptr<const json::string_t*>()) out = *p;
}

// Any JSON number, as a double. Booleans are not numbers.
void readNumber(const json& object, const char* k, double& out) {
  const json* v = member(object, k);
  if (v == nullptr) return;
  // Unsigned first: the signed accessor also answers for unsigned values.
  if (auto u = v->get_ptr<const json::number_unsigned_t*>()) {
    out = static_cast<double>(*u);
  } else if (auto i = v->get_ptr<const json::number_integer_t*>()) {
    out = static_cast<double>(*i);
  } else if (auto f = v->get_ptr<const json::number_float_t*>()) {
    out = *f;
  }
}

// A JSON number whose value is whole and fits a signed 64-bit integer.
void readInteger(const json& object, const char* k, std::int64_t& out) {
  const json* v = member(object, k);
  if (v == nullptr) return;
  // Unsigned first: the signed accessor also answers for unsigned values.
  if (auto u = v->get_ptr<const json::number_unsigned_t*>()) {
    if (*u <= static_cast<json::number_unsigned_t>(INT64_MAX)) out = static_cast<std::int64_t>(*u);
  } else if (auto i = v->get_ptr<const json::number_integer_t*>()) {
    out = *i;
  } else if (auto f = v->get_ptr<const json::number_float_t*>()) {
    // [-2^63, 2^63) is exactly the range of doubles that convert without UB.
    double d = *f;
    if (std::isfinite(d) && d == std::trunc(d) && d >= -9223372036854775808.0 &&
        d < 9223372036854775808.0)
      out = static_cast<std::int64_t>(d);
  }
}

bool allOf(const json& array, bool (json::*test)() const noexcept) {
  for (const json& e : array)
    if (!(e.*test)()) return false;
  return true;
}

State fromDocument(const json& doc) {
  State s;
  if (!doc.is_object()) return s;
  s.running = true;
  readBool(doc, "muted", s.muted);
  readBool(doc, "chat", s.chat);
  readString(doc, "bound", s.bound);
  if (const json* v = member(doc, "sessions"); v && v->is_array() && allOf(*v, &json::is_string)) {
    for (const json& e : *v) s.sessions.push_back(*e.get_ptr<const json::string_t*>());
  }
  if (const json* v = member(doc, "waiting"); v && v->is_array() && allOf(*v, &json::is_object)) {
    for (const json& e : *v) {
      const json* p = member(e, "project");
      if (p && p->is_string()) s.waiting.push_back(*p->get_ptr<const json::string_t*>());
    }
  }
  if (const json* v = member(doc, "last"); v && v->is_object()) {
    readString(*v, "takeaway", s.takeaway);
    readString(*v, "project", s.project);
  }
  if (const json* v = member(doc, "engines"); v && v->is_object()) {
    readString(*v, "voice", s.voice);
    readString(*v, "hearing", s.hearing);
  }
  if (const json* v = member(doc, "active"); v && v->is_array() && allOf(*v, &json::is_object)) {
    s.active.reserve(v->size());
    for (const json& e : *v) {
      Active a;
      readString(e, "key", a.key);
      readString(e, "host", a.host);
      readString(e, "title", a.title);
      readString(e, "spoken", a.spoken);
      readString(e, "state", a.state);
      readInteger(e, "idle_minutes", a.idle);
      if (const json* loop = member(e, "loop"); loop && loop->is_object()) {
        readBool(*loop, "on", a.loopOn);
        readNumber(*loop, "minutes", a.minutes);
      }
      readInteger(e, "next_in", a.nextIn);
      s.active.push_back(std::move(a));
    }
  }
  return s;
}

// Whether a JSON number token lies beyond the range of a double. Out of range
// is either overflow or underflow; underflow (which parses as 0) has a very
// negative decimal exponent.
bool overflowsDouble(std::string_view token) {
  double value = 0;
  auto r = std::from_chars(token.data(), token.data() + token.size(), value);
  if (r.ec != std::errc::result_out_of_range) return false;
  std::size_t i = token[0] == '-' ? 1 : 0;
  long long magnitude = 0;  // decimal exponent of the first significant digit
  bool seen = false;
  for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
    if (token[i] != '0') seen = true;
    if (seen && magnitude < 100000) ++magnitude;
  }
  if (!seen) {
    if (i < token.size() && token[i] == '.') ++i;
    for (; i < token.size() && token[i] == '0'; ++i)
      if (magnitude > -100000) --magnitude;
  }
  long long exponent = 0;
  std::size_t e = token.find_first_of("eE");
  if (e != std::string_view::npos) {
    std::size_t j = e + 1;
    bool negative = j < token.size() && token[j] == '-';
    if (j < token.size() && (token[j] == '-' || token[j] == '+')) ++j;
    for (; j < token.size() && token[j] >= '0' && token[j] <= '9'; ++j)
      if (exponent < 100000) exponent = exponent * 10 + (token[j] - '0');
    if (negative) exponent = -exponent;
  }
  return magnitude + exponent > 0;
}

// A copy of the body in which every number beyond the range of a double is
// replaced by the largest double of its sign. The parser refuses such numbers
// outright, and one of them must not make a running daemon look absent.
std::string saturateNumbers(std::string_view body) {
  static constexpr std::string_view kMax = "1.7976931348623157e308";
  std::string out;
  out.reserve(body.size());
  bool inString = false;
  for (std::size_t i = 0; i < body.size();) {
    char c = body[i];
    if (inString) {
      out += c;
      if (c == '\\' && i + 1 < body.size())
        out += body[++i];
      else if (c == '"')
        inString = false;
      ++i;
    } else if (c == '"') {
      inString = true;
      out += c;
      ++i;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      std::size_t end = i + 1;
      while (end < body.size() &&
             std::string_view("0123456789.eE+-").find(body[end]) != std::string_view::npos)
        ++end;
      std::string_view token = body.substr(i, end - i);
      if (overflowsDouble(token)) {
        if (token[0] == '-') out += '-';
        out += kMax;
      } else {
        out += token;
      }
      i = end;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

}  // namespace

State decodeState(std::string_view body) noexcept {
  // Only running out of memory can throw below; it counts as a failed reply.
  try {
    Pruner pruner;
    bool ok = json::sax_parse(body.begin(), body.end(), &pruner);
    if (ok && !pruner.failed) return fromDocument(pruner.root);
    if (!pruner.overflow) return State{};
    std::string saturated = saturateNumbers(body);
    Pruner again;
    ok = json::sax_parse(saturated.begin(), saturated.end(), &again);
    if (!ok || again.failed) return State{};
    return fromDocument(again.root);
  } catch (...) {
    return State{};
  }
}

State decodeState(int /*status*/, std::string_view body) noexcept {
  return decodeState(body);
}

namespace detail {

State decodeStateUnpruned(std::string_view body) noexcept {
  try {
    json doc = json::parse(body.begin(), body.end(), nullptr, false);
    if (doc.is_discarded()) {
      std::string saturated = saturateNumbers(body);
      doc = json::parse(saturated.begin(), saturated.end(), nullptr, false);
    }
    if (doc.is_discarded()) return State{};
    return fromDocument(doc);
  } catch (...) {
    return State{};
  }
}

}  // namespace detail

}  // namespace ombru::menu
