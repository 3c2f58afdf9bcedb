#include "scene_sim.hpp"

#include "constants.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace ombru::ax::sim {

using json = nlohmann::json;

// How one attribute answers a read.
struct AttrDef {
  enum class Kind { Fail, Absent, Text, Number, Boolean, Point, Size, Elements, Element, Other };
  Kind kind = Kind::Fail;
  std::string text;
  bool templated = false;  // text holds "{i}", replaced by the repeat index
  double a = 0;
  double b = 0;
  bool boolean = false;
  std::vector<std::string> ids;
};

struct ElementDef {
  std::string id;
  std::map<std::string, AttrDef, std::less<>> attrs;
  std::vector<std::unique_ptr<ElementDef>> children;
  bool childrenGiven = false;
  std::vector<std::unique_ptr<ElementDef>> windows;
  bool windowsGiven = false;
  std::string ref;          // a child entry standing for the element with this id
  std::int64_t repeat = 0;  // a child entry standing for this many copies
  double stepX = 0;
  double stepY = 0;
  bool actionsGiven = false;
  bool actionsFail = false;
  std::vector<std::string> actions;
  bool performFails = false;
  bool hitTestFails = false;
  bool writeFails = false;
  std::int64_t untilWakes = 0;
  double lineHeight = 0;  // > 0: a scrollable list whose frame is its viewport
  std::optional<double> contentHeight;
  bool listsAll = false;  // lists rows outside the viewport too, at their unclipped place
  double track = 0;  // > 0: rows outside the viewport listed without a frame, and a bar this wide
  double lag = 0;    // seconds before reads report where a scroll put the rows
  std::string scrolls;             // a scroll bar: the id of the list it moves
  std::optional<double> lineStep;  // the bar's own line step (default: the list's line height)
  std::vector<std::string> reveals;
  bool hidden = false;
  bool isApp = false;
};

struct Node : std::enable_shared_from_this<Node> {
  const ElementDef* def = nullptr;
  std::shared_ptr<Node> parent;
  std::int64_t index = -1;  // repeat index, inherited by the copy's descendants
  bool copy = false;        // made for one entry of a repeat
  std::size_t slot = 0;     // position in the parent's child entries
  double shiftX = 0;
  double shiftY = 0;
  bool persistent = false;
};

struct App {
  std::optional<std::string> name;
  std::optional<std::string> bundle;
  std::int64_t pid = 0;
  std::shared_ptr<Node> element;
  double joinsAfter = 0;  // seconds of virtual time before it is listed
  // What it shows while it is still building its tree, and until when.
  std::shared_ptr<Node> building;
  double settlesAfter = 0;
};

struct SceneData {
  std::vector<std::unique_ptr<ElementDef>> roots;
  std::vector<App> apps;
  std::optional<std::vector<WindowValue>> windowServer;
  std::vector<std::string> processes;
  std::vector<Area> screens{Area{{0, 0}, {1920, 1080}}};
  std::set<std::string> failEvents;
  double timeLimit = 3600;
  std::int64_t maxCopies = 10000000;
  std::vector<std::shared_ptr<Node>> persistent;
  std::map<const ElementDef*, std::shared_ptr<Node>> nodeOf;
  std::map<std::string, std::shared_ptr<Node>, std::less<>> byId;
  std::map<std::string, const ElementDef*, std::less<>> defById;
  std::shared_ptr<Node> orphan;  // the element of a process the scene does not know
};

namespace {

struct SceneError {
  std::string message;
};

[[noreturn]] void fail(const std::string& m) {
  throw SceneError{m};
}

double number(const json& j, const std::string& what) {
  if (j.is_number()) return j.get<double>();
  if (j.is_string()) {
    const std::string s = j.get<std::string>();
    if (s == "nan") return std::numeric_limits<double>::quiet_NaN();
    if (s == "inf") return std::numeric_limits<double>::infinity();
    if (s == "-inf") return -std::numeric_limits<double>::infinity();
  }
  fail(what + ": expected a number, \"nan\", \"inf\" or \"-inf\"");
}

std::pair<double, double> pair(const json& j, const std::string& what) {
  if (!j.is_array() || j.size() != 2) fail(what + ": expected [a, b]");
  return {number(j[0], what), number(j[1], what)};
}

std::string hexBytes(const std::string& hex) {
  std::string out;
  int hi = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else if (c == ' ')
      continue;
    else
      fail("hex: not a hex digit");
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<char>(hi * 16 + v));
      hi = -1;
    }
  }
  if (hi >= 0) fail("hex: odd number of digits");
  return out;
}

AttrDef textAttr(std::string s) {
  AttrDef a;
  a.kind = AttrDef::Kind::Text;
  a.templated = s.find("{i}") != std::string::npos;
  a.text = std::move(s);
  return a;
}

AttrDef attribute(const json& j, const std::string& what, const SceneData& scene) {
  AttrDef a;
  if (j.is_null()) {
    a.kind = AttrDef::Kind::Absent;
  } else if (j.is_string()) {
    a = textAttr(j.get<std::string>());
  } else if (j.is_boolean()) {
    a.kind = AttrDef::Kind::Boolean;
    a.boolean = j.get<bool>();
  } else if (j.is_number()) {
    a.kind = AttrDef::Kind::Number;
    a.a = j.get<double>();
  } else if (j.is_object() && j.size() >= 1) {
    if (j.contains("error")) {
      a.kind = AttrDef::Kind::Fail;
    } else if (j.contains("text")) {
      if (!j["text"].is_string()) fail(what + ": \"text\" must be a string");
      std::string unit = j["text"].get<std::string>();
      std::int64_t times = j.value("repeat", std::int64_t{1});
      if (times < 0 || times > 10 * scene.maxCopies) fail(what + ": \"repeat\" out of range");
      // Doubling keeps a 10 MB label quick to build.
      const std::size_t want = unit.size() * static_cast<std::size_t>(times);
      std::string s = times > 0 ? unit : std::string();
      while (!s.empty() && s.size() * 2 <= want) s += s;
      s.append(s, 0, want - s.size());
      a = textAttr(std::move(s));
    } else if (j.contains("hex")) {
      if (!j["hex"].is_string()) fail(what + ": \"hex\" must be a string");
      a.kind = AttrDef::Kind::Text;
      a.text = hexBytes(j["hex"].get<std::string>());
    } else if (j.contains("point")) {
      a.kind = AttrDef::Kind::Point;
      std::tie(a.a, a.b) = pair(j["point"], what);
    } else if (j.contains("size")) {
      a.kind = AttrDef::Kind::Size;
      std::tie(a.a, a.b) = pair(j["size"], what);
    } else if (j.contains("elements")) {
      if (!j["elements"].is_array()) fail(what + ": \"elements\" must be a list of ids");
      a.kind = AttrDef::Kind::Elements;
      for (const json& id : j["elements"]) {
        if (!id.is_string()) fail(what + ": \"elements\" must be a list of ids");
        a.ids.push_back(id.get<std::string>());
      }
    } else if (j.contains("element")) {
      if (!j["element"].is_string()) fail(what + ": \"element\" must be an id");
      a.kind = AttrDef::Kind::Element;
      a.ids.push_back(j["element"].get<std::string>());
    } else if (j.contains("other")) {
      a.kind = AttrDef::Kind::Other;
    } else {
      fail(what + ": unknown value form");
    }
  } else {
    fail(what + ": unknown value form");
  }
  return a;
}

std::vector<std::string> stringList(const json& j, const std::string& what) {
  std::vector<std::string> out;
  if (!j.is_array()) fail(what + ": expected a list of strings");
  for (const json& s : j) {
    if (!s.is_string()) fail(what + ": expected a list of strings");
    out.push_back(s.get<std::string>());
  }
  return out;
}

// Deeper trees are built from references; this keeps the loader's own
// recursion far from the end of the stack.
constexpr int kMaxNesting = 1000;

std::unique_ptr<ElementDef> element(const json& j, SceneData& scene, const std::string& where,
                                    int nesting);

void elementList(const json& j, std::vector<std::unique_ptr<ElementDef>>& into, SceneData& scene,
                 const std::string& where, int nesting) {
  if (!j.is_array()) fail(where + ": expected a list of elements");
  for (std::size_t i = 0; i < j.size(); ++i) {
    into.push_back(element(j[i], scene, where + "/" + std::to_string(i), nesting + 1));
  }
}

std::unique_ptr<ElementDef> element(const json& j, SceneData& scene, const std::string& where,
                                    int nesting) {
  if (nesting > kMaxNesting) fail(where + ": elements nested more than 1000 deep");
  if (!j.is_object()) fail(where + ": an element is a JSON object");
  auto s = std::make_unique<ElementDef>();
  for (const auto& [key, v] : j.items()) {
    const std::string what = where + "." + key;
    if (key == "id") {
      if (!v.is_string()) fail(what + ": must be a string");
      s->id = v.get<std::string>();
    } else if (key == "role") {
      s->attrs[attr::kRole] = attribute(v, what, scene);
    } else if (key == "value") {
      s->attrs[attr::kValue] = attribute(v, what, scene);
    } else if (key == "title") {
      s->attrs[attr::kTitle] = attribute(v, what, scene);
    } else if (key == "description") {
      s->attrs[attr::kDescription] = attribute(v, what, scene);
    } else if (key == "placeholder") {
      s->attrs[attr::kPlaceholderValue] = attribute(v, what, scene);
    } else if (key == "frame") {
      if (!v.is_array() || v.size() != 4) fail(what + ": expected [x, y, width, height]");
      AttrDef p;
      p.kind = AttrDef::Kind::Point;
      p.a = number(v[0], what);
      p.b = number(v[1], what);
      AttrDef z;
      z.kind = AttrDef::Kind::Size;
      z.a = number(v[2], what);
      z.b = number(v[3], what);
      s->attrs[attr::kPosition] = p;
      s->attrs[attr::kSize] = z;
    } else if (key == "attributes") {
      if (!v.is_object()) fail(what + ": expected an object");
      for (const auto& [name, value] : v.items())
        s->attrs[name] = attribute(value, what + "." + name, scene);
    } else if (key == "children") {
      s->childrenGiven = true;
      elementList(v, s->children, scene, what, nesting);
    } else if (key == "windows") {
      s->windowsGiven = true;
      elementList(v, s->windows, scene, what, nesting);
    } else if (key == "ref") {
      if (!v.is_string()) fail(what + ": must be an id");
      s->ref = v.get<std::string>();
    } else if (key == "repeat") {
      if (!v.is_number_integer() || v.get<std::int64_t>() < 1 ||
          v.get<std::int64_t>() > scene.maxCopies) {
        fail(what + ": must be an integer from 1 to " + std::to_string(scene.maxCopies));
      }
      s->repeat = v.get<std::int64_t>();
    } else if (key == "step") {
      std::tie(s->stepX, s->stepY) = pair(v, what);
    } else if (key == "actions") {
      s->actionsGiven = true;
      if (v.is_object() && v.contains("error")) {
        s->actionsFail = true;
      } else {
        s->actions = stringList(v, what);
      }
    } else if (key == "performFails") {
      s->performFails = v.is_boolean() && v.get<bool>();
    } else if (key == "writeFails") {
      s->writeFails = v.is_boolean() && v.get<bool>();
    } else if (key == "untilWakes") {
      if (!v.is_number_integer()) fail(what + ": must be an integer");
      s->untilWakes = v.get<std::int64_t>();
    } else if (key == "scroll") {
      if (!v.is_object() || !v.contains("lineHeight"))
        fail(what + ": expected {\"lineHeight\": n}");
      s->lineHeight = number(v["lineHeight"], what);
      if (!(s->lineHeight > 0)) fail(what + ": lineHeight must be positive");
      if (v.contains("contentHeight")) s->contentHeight = number(v["contentHeight"], what);
      if (v.contains("listsAll"))
        s->listsAll = v["listsAll"].is_boolean() && v["listsAll"].get<bool>();
      if (v.contains("track")) {
        s->track = number(v["track"], what);
        if (!(s->track > 0)) fail(what + ": track must be positive");
      }
      if (v.contains("lag")) {
        s->lag = number(v["lag"], what);
        if (!(s->lag >= 0 && s->lag <= 3600)) fail(what + ": lag must be 0 to 3600 seconds");
      }
    } else if (key == "scrolls") {
      if (!v.is_string()) fail(what + ": expected the id of a scrollable list");
      s->scrolls = v.get<std::string>();
    } else if (key == "lineStep") {
      s->lineStep = number(v, what);
    } else if (key == "hitTestFails") {
      s->hitTestFails = v.is_boolean() && v.get<bool>();
    } else if (key == "reveals") {
      s->reveals = stringList(v, what);
    } else if (key == "hidden") {
      s->hidden = v.is_boolean() && v.get<bool>();
    } else if (key == "comment") {
    } else {
      fail(what + ": unknown key");
    }
  }
  if (!s->id.empty()) {
    if (!s->ref.empty()) fail(where + ": a reference has no id of its own");
    if (!scene.defById.emplace(s->id, s.get()).second) fail(where + ": id used twice: " + s->id);
  }
  return s;
}

WindowValue windowValue(const json& j) {
  WindowValue v;
  if (j.is_string()) {
    v.kind = WindowValue::Kind::Text;
    v.text = j.get<std::string>();
  } else if (j.is_number_integer()) {
    v.kind = WindowValue::Kind::Integer;
    v.integer = j.is_number_unsigned() && j.get<std::uint64_t>() > INT64_MAX
                    ? INT64_MAX
                    : j.get<std::int64_t>();
  } else if (j.is_number()) {
    v.kind = WindowValue::Kind::Real;
    v.real = j.get<double>();
  } else if (j.is_object()) {
    v.kind = WindowValue::Kind::Dictionary;
    for (const auto& [key, value] : j.items()) v.dictionary.push_back({key, windowValue(value)});
  }
  return v;
}

// Persistent nodes: every element outside a repeat, made once so that it
// keeps one identity for the whole run.
void materialise(SceneData& scene, const ElementDef& def, const std::shared_ptr<Node>& node) {
  auto add = [&](const std::vector<std::unique_ptr<ElementDef>>& list) {
    for (std::size_t i = 0; i < list.size(); ++i) {
      const ElementDef& c = *list[i];
      if (!c.ref.empty() || c.repeat > 0) continue;
      auto n = std::make_shared<Node>();
      n->def = &c;
      n->parent = node;
      n->slot = i;
      n->persistent = true;
      scene.persistent.push_back(n);
      scene.nodeOf[&c] = n;
      if (!c.id.empty()) scene.byId[c.id] = n;
      materialise(scene, c, n);
    }
  };
  add(def.windows);
  add(def.children);
}

void checkIds(const SceneData& scene, const ElementDef& s) {
  auto known = [&](const std::string& id) {
    if (!scene.byId.count(id)) fail("unknown or non-persistent id: " + id);
  };
  if (!s.ref.empty()) known(s.ref);
  if (!s.scrolls.empty()) {
    known(s.scrolls);
    if (!(scene.byId.at(s.scrolls)->def->lineHeight > 0)) fail("scrolls a list without scroll");
  }
  for (const auto& [name, a] : s.attrs) {
    for (const std::string& id : a.ids) known(id);
  }
  for (const std::string& id : s.reveals) {
    if (!scene.defById.count(id)) fail("reveals an unknown id: " + id);
  }
  for (const auto& c : s.children) checkIds(scene, *c);
  for (const auto& c : s.windows) checkIds(scene, *c);
}

std::string fmt(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f", v);
  std::string s = buf;
  while (!s.empty() && s.back() == '0') s.pop_back();
  if (!s.empty() && s.back() == '.') s.pop_back();
  if (s == "-0") s = "0";
  return s;
}

std::string at(Point p) {
  return fmt(p.x) + "," + fmt(p.y);
}

std::string nodeName(const Node& n) {
  std::string base;
  if (!n.def->id.empty()) {
    base = n.def->id;
  } else if (n.parent) {
    base = nodeName(*n.parent) + "/" + std::to_string(n.slot);
  } else {
    base = "app";
  }
  if (n.copy) base += "[" + std::to_string(n.index) + "]";
  return base;
}

std::string replaceIndex(const std::string& s, std::int64_t index) {
  std::string out;
  const std::string i = std::to_string(index < 0 ? 0 : index);
  for (std::size_t p = 0; p < s.size();) {
    if (s.compare(p, 3, "{i}") == 0) {
      out += i;
      p += 3;
    } else {
      out += s[p++];
    }
  }
  return out;
}

struct SimEvent : Event {
  std::string kind;  // "moved", "down", "up", "scroll"
  Point at;
  std::int32_t lines = 0;
};

std::shared_ptr<Node> nodeOfElement(const Element& e) {
  // Handles made by this platform share ownership with their node.
  if (!e) return nullptr;
  return e.as<Node>()->shared_from_this();
}

}  // namespace

std::shared_ptr<SceneData> loadScene(const std::string& text, std::string& error,
                                     std::int64_t maxCopies) {
  auto scene = std::make_shared<SceneData>();
  scene->maxCopies = maxCopies;
  try {
    const json j = json::parse(text);
    if (!j.is_object()) fail("a scene is a JSON object");
    for (const auto& [key, v] : j.items()) {
      if (key == "apps") {
        if (!v.is_array()) fail("apps: expected a list");
        for (std::size_t i = 0; i < v.size(); ++i) {
          const json& a = v[i];
          const std::string where = "apps/" + std::to_string(i);
          if (!a.is_object()) fail(where + ": expected an object");
          App app;
          if (a.contains("name") && a["name"].is_string()) app.name = a["name"].get<std::string>();
          if (a.contains("nameHex")) app.name = hexBytes(a["nameHex"].get<std::string>());
          if (a.contains("bundleId") && a["bundleId"].is_string()) {
            app.bundle = a["bundleId"].get<std::string>();
          }
          if (!a.contains("pid") || !a["pid"].is_number_integer())
            fail(where + ": pid is an integer");
          app.pid = a["pid"].get<std::int64_t>();
          if (a.contains("joinsAfter")) app.joinsAfter = number(a["joinsAfter"], where);
          std::unique_ptr<ElementDef> def =
              a.contains("element") ? element(a["element"], *scene, where + ".element", 0)
                                    : std::make_unique<ElementDef>();
          def->isApp = true;
          auto node = std::make_shared<Node>();
          node->def = def.get();
          node->persistent = true;
          scene->persistent.push_back(node);
          scene->nodeOf[def.get()] = node;
          if (!def->id.empty()) scene->byId[def->id] = node;
          app.element = node;
          scene->roots.push_back(std::move(def));
          if (a.contains("settlesAfter")) app.settlesAfter = number(a["settlesAfter"], where);
          if (a.contains("building")) {
            std::unique_ptr<ElementDef> b = element(a["building"], *scene, where + ".building", 0);
            b->isApp = true;
            auto bn = std::make_shared<Node>();
            bn->def = b.get();
            bn->persistent = true;
            scene->persistent.push_back(bn);
            scene->nodeOf[b.get()] = bn;
            app.building = bn;
            scene->roots.push_back(std::move(b));
          }
          scene->apps.push_back(std::move(app));
        }
      } else if (key == "windowServer") {
        if (v.is_array()) {
          std::vector<WindowValue> list;
          for (const json& e : v) list.push_back(windowValue(e));
          scene->windowServer = std::move(list);
        }
      } else if (key == "failEvents") {
        for (const std::string& k : stringList(v, "failEvents")) {
          if (k != "moved" && k != "down" && k != "up" && k != "scroll") {
            fail("failEvents: one of moved, down, up, scroll");
          }
          scene->failEvents.insert(k);
        }
      } else if (key == "processes") {
        scene->processes = stringList(v, "processes");
      } else if (key == "screens") {
        if (!v.is_array()) fail("screens: expected a list of [x, y, width, height]");
        scene->screens.clear();
        for (const json& r : v) {
          if (!r.is_array() || r.size() != 4) fail("screens: expected [x, y, width, height]");
          scene->screens.push_back(Area{{number(r[0], "screens"), number(r[1], "screens")},
                                        {number(r[2], "screens"), number(r[3], "screens")}});
        }
      } else if (key == "timeLimit") {
        scene->timeLimit = number(v, "timeLimit");
      } else if (key != "comment") {
        fail(key + ": unknown key");
      }
    }
    if (!j.contains("windowServer")) scene->windowServer = std::vector<WindowValue>{};
    for (const App& a : scene->apps) {
      materialise(*scene, *a.element->def, a.element);
      if (a.building) materialise(*scene, *a.building->def, a.building);
    }
    for (const auto& r : scene->roots) checkIds(*scene, *r);
    auto empty = std::make_unique<ElementDef>();
    scene->orphan = std::make_shared<Node>();
    scene->orphan->def = empty.get();
    scene->orphan->persistent = true;
    scene->roots.push_back(std::move(empty));
  } catch (const SceneError& e) {
    error = e.message;
    return nullptr;
  } catch (const json::exception& e) {
    error = e.what();
    return nullptr;
  }
  return scene;
}

SimPlatform::SimPlatform(std::shared_ptr<SceneData> scene, std::vector<std::string> args)
    : scene_(std::move(scene)), args_(std::move(args)) {}

SimPlatform::~SimPlatform() = default;

void SimPlatform::record(std::string line) {
  if (onTrace) onTrace(line);
  trace_.push_back(std::move(line));
}

Element SimPlatform::handle(const std::shared_ptr<Node>& n) const {
  // The handle shares ownership of the node; its identity is the node.
  return Element(std::static_pointer_cast<void>(n));
}

std::vector<std::string> SimPlatform::arguments() {
  return args_;
}

std::vector<std::string> SimPlatform::processNames() {
  return scene_->processes;
}

std::vector<RunningApp> SimPlatform::runningApplications() {
  std::vector<RunningApp> out;
  for (std::size_t i = 0; i < scene_->apps.size(); ++i) {
    const App& a = scene_->apps[i];
    if (static_cast<double>(clock_.count()) < a.joinsAfter * 1e6) continue;
    out.push_back(RunningApp{a.name, a.bundle, a.pid, static_cast<std::uint64_t>(i)});
  }
  return out;
}

void SimPlatform::activate(const RunningApp& app) {
  record("activate " + std::to_string(app.processIdentifier));
}

Element SimPlatform::applicationElement(std::int64_t pid) {
  for (const App& a : scene_->apps) {
    if (a.pid != pid) continue;
    const bool built = static_cast<double>(clock_.count()) >= a.settlesAfter * 1e6;
    return handle(a.building && !built ? a.building : a.element);
  }
  return handle(scene_->orphan);
}

bool SimPlatform::settling(const Element& application) {
  const Node* n = application.as<Node>();
  for (const App& a : scene_->apps) {
    if (n != a.element.get() && n != a.building.get()) continue;
    return static_cast<double>(clock_.count()) < a.settlesAfter * 1e6;
  }
  return false;
}

bool SimPlatform::visible(const std::shared_ptr<Node>& n) const {
  return !n->def->hidden || revealed_.count(n->def) > 0;
}

double SimPlatform::offset(const ElementDef& list, bool reported) const {
  if (!reported || list.lag <= 0) {
    auto o = offsets_.find(&list);
    return o == offsets_.end() ? 0 : o->second;
  }
  // The offset as it was `lag` seconds ago.
  const double then = static_cast<double>(clock_.count()) - list.lag * 1e6;
  double at = 0;
  auto h = history_.find(&list);
  if (h == history_.end()) return at;
  for (const auto& [when, value] : h->second) {
    if (static_cast<double>(when.count()) > then) break;
    at = value;
  }
  return at;
}

std::optional<std::pair<double, double>> SimPlatform::position(const Node& n, bool reported) const {
  auto it = n.def->attrs.find(attr::kPosition);
  if (it == n.def->attrs.end() || it->second.kind != AttrDef::Kind::Point) return std::nullopt;
  double x = it->second.a + n.shiftX;
  double y = it->second.b + n.shiftY;
  for (const Node* p = n.parent.get(); p != nullptr; p = p->parent.get()) {
    if (p->def->lineHeight > 0) y -= offset(*p->def, reported);
  }
  return std::make_pair(x, y);
}

std::optional<std::pair<double, double>> SimPlatform::size(const Node& n) const {
  auto it = n.def->attrs.find(attr::kSize);
  if (it == n.def->attrs.end() || it->second.kind != AttrDef::Kind::Size) return std::nullopt;
  return std::make_pair(it->second.a, it->second.b);
}

std::shared_ptr<Node> SimPlatform::cached(const Node& parent, std::size_t slot, std::int64_t k) {
  auto it = made_.find({&parent, slot, k});
  return it == made_.end() ? nullptr : it->second.lock();
}

void SimPlatform::remember(const Node& parent, std::size_t slot, std::int64_t k,
                           const std::shared_ptr<Node>& n) {
  // Bounded by what is alive: nodes nobody holds any more are swept out.
  if (made_.size() > sweepAt_) {
    std::erase_if(made_, [](const auto& e) { return e.second.expired(); });
    sweepAt_ = std::max<std::size_t>(sweepAt_, made_.size() * 2);
  }
  made_[{&parent, slot, k}] = n;
}

std::vector<std::shared_ptr<Node>> SimPlatform::childrenOf(const std::shared_ptr<Node>& n) {
  std::vector<std::shared_ptr<Node>> out;
  const ElementDef& s = *n->def;
  if (s.untilWakes > 0 && wakes_ < static_cast<std::uint64_t>(s.untilWakes)) return out;
  for (std::size_t i = 0; i < s.children.size(); ++i) {
    const ElementDef& c = *s.children[i];
    if (!c.ref.empty()) {
      auto target = scene_->byId.find(c.ref);
      if (target != scene_->byId.end() && visible(target->second)) out.push_back(target->second);
    } else if (c.repeat > 0) {
      if (c.hidden && !revealed_.count(&c)) continue;
      for (std::int64_t k = 0; k < c.repeat; ++k) {
        if (auto known = cached(*n, i, k)) {
          out.push_back(std::move(known));
          continue;
        }
        auto m = std::make_shared<Node>();
        m->def = &c;
        m->parent = n;
        m->index = k;
        m->copy = true;
        m->slot = i;
        m->shiftX = n->shiftX + static_cast<double>(k) * c.stepX;
        m->shiftY = n->shiftY + static_cast<double>(k) * c.stepY;
        remember(*n, i, k, m);
        out.push_back(std::move(m));
      }
    } else if (n->persistent) {
      auto m = scene_->nodeOf.find(&c);
      if (m != scene_->nodeOf.end() && visible(m->second)) out.push_back(m->second);
    } else {
      if (c.hidden && !revealed_.count(&c)) continue;
      if (auto known = cached(*n, i, -1)) {
        out.push_back(std::move(known));
        continue;
      }
      auto m = std::make_shared<Node>();
      m->def = &c;
      m->parent = n;
      m->index = n->index;
      m->slot = i;
      m->shiftX = n->shiftX;
      m->shiftY = n->shiftY;
      remember(*n, i, -1, m);
      out.push_back(std::move(m));
    }
  }
  if (s.lineHeight > 0 && !s.listsAll && s.track <= 0) {
    // A scrollable list shows only the rows inside its viewport.
    auto vp = position(*n);
    auto vs = size(*n);
    if (vp && vs) {
      const double top = vp->second;
      const double bottom = vp->second + vs->second;
      std::erase_if(out, [&](const std::shared_ptr<Node>& c) {
        auto p = position(*c);
        auto z = size(*c);
        if (!p || !z) return false;
        return !(p->second + z->second > top && p->second < bottom);
      });
    }
  }
  return out;
}

std::optional<Value> SimPlatform::read(const std::shared_ptr<Node>& n, std::string_view name) {
  const ElementDef& s = *n->def;
  auto it = s.attrs.find(name);
  if (it != s.attrs.end()) {
    const AttrDef& a = it->second;
    switch (a.kind) {
      case AttrDef::Kind::Fail:
        return std::nullopt;
      case AttrDef::Kind::Absent:
        return Value::absent();
      case AttrDef::Kind::Text:
        return Value::ofText(a.templated ? replaceIndex(a.text, n->index) : a.text);
      case AttrDef::Kind::Number:
        return Value::ofNumber(a.a);
      case AttrDef::Kind::Boolean:
        return Value::ofBoolean(a.boolean);
      case AttrDef::Kind::Point: {
        if (name == attr::kPosition) {
          if (!inView(*n)) return std::nullopt;
          auto p = position(*n);
          return Value::ofPoint(Point{p->first, p->second});
        }
        return Value::ofPoint(Point{a.a, a.b});
      }
      case AttrDef::Kind::Size:
        if (name == attr::kSize && !inView(*n)) return std::nullopt;
        return Value::ofSize(Size{a.a, a.b});
      case AttrDef::Kind::Elements: {
        std::vector<Element> list;
        for (const std::string& id : a.ids) list.push_back(handle(scene_->byId.at(id)));
        return Value::ofElements(std::move(list));
      }
      case AttrDef::Kind::Element:
        return Value::ofElement(handle(scene_->byId.at(a.ids[0])));
      case AttrDef::Kind::Other:
        return Value::other();
    }
  }
  if (!s.scrolls.empty()) {
    const std::shared_ptr<Node>& list = scene_->byId.at(s.scrolls);
    if (name == attr::kValue) return Value::ofNumber(offset(*list->def, true));
    if (name == attr::kMinValue) return Value::ofNumber(0);
    if (name == attr::kMaxValue) return Value::ofNumber(farthest(*list));
    if (name == attr::kLineStep) return Value::ofNumber(s.lineStep.value_or(list->def->lineHeight));
  }
  if (name == attr::kChildren) {
    std::vector<Element> list;
    for (const auto& c : childrenOf(n)) list.push_back(handle(c));
    return Value::ofElements(std::move(list));
  }
  if (name == attr::kWindows && s.windowsGiven) {
    std::vector<Element> list;
    if (s.untilWakes <= 0 || wakes_ >= static_cast<std::uint64_t>(s.untilWakes)) {
      for (const auto& w : s.windows) {
        if (!w->ref.empty()) {
          list.push_back(handle(scene_->byId.at(w->ref)));
        } else if (auto m = scene_->nodeOf.find(w.get()); m != scene_->nodeOf.end()) {
          if (visible(m->second)) list.push_back(handle(m->second));
        }
      }
    }
    return Value::ofElements(std::move(list));
  }
  if (name == attr::kParent && n->parent) return Value::ofElement(handle(n->parent));
  return std::nullopt;
}

std::optional<Value> SimPlatform::copyAttribute(const Element& element, std::string_view name) {
  ++reads_;
  std::shared_ptr<Node> n = nodeOfElement(element);
  if (!n) return std::nullopt;
  return read(n, name);
}

bool SimPlatform::setBoolAttribute(const Element& element, std::string_view name, bool value) {
  std::shared_ptr<Node> n = nodeOfElement(element);
  if (!n) return false;
  record("write " + nodeName(*n) + " " + std::string(name) + " " + (value ? "true" : "false"));
  if (n->def->isApp && name == attr::kManualAccessibility && value) ++wakes_;
  return !n->def->writeFails;
}

bool SimPlatform::setNumberAttribute(const Element& element, std::string_view name, double value) {
  std::shared_ptr<Node> n = nodeOfElement(element);
  if (!n) return false;
  record("write " + nodeName(*n) + " " + std::string(name) + " " + fmt(value));
  if (n->def->writeFails) return false;
  if (n->def->scrolls.empty() || name != attr::kValue || !std::isfinite(value)) return false;
  const std::shared_ptr<Node>& list = scene_->byId.at(n->def->scrolls);
  double& at = offsets_[list->def];
  at = std::clamp(value, 0.0, farthest(*list));
  if (list->def->lag > 0) history_[list->def].emplace_back(clock_, at);
  return true;
}

std::optional<std::vector<std::string>> SimPlatform::copyActionNames(const Element& element) {
  ++reads_;
  std::shared_ptr<Node> n = nodeOfElement(element);
  if (!n || n->def->actionsFail) return std::nullopt;
  return n->def->actions;
}

bool SimPlatform::performAction(const Element& element, std::string_view action) {
  std::shared_ptr<Node> n = nodeOfElement(element);
  if (!n) return false;
  const ElementDef& s = *n->def;
  const bool ok =
      !s.performFails && std::find(s.actions.begin(), s.actions.end(), action) != s.actions.end();
  record("perform " + nodeName(*n) + " " + std::string(action) + (ok ? " ok" : " refused"));
  if (ok && action == "AXPress") {
    for (const std::string& id : s.reveals) reveal(*scene_->defById.at(id));
  }
  return ok;
}

void SimPlatform::reveal(const ElementDef& s) {
  revealed_.insert(&s);
}

EventRef SimPlatform::createMouseEvent(MouseEventType type, Point p) {
  std::string kind = type == MouseEventType::Moved      ? "moved"
                     : type == MouseEventType::LeftDown ? "down"
                                                        : "up";
  if (scene_->failEvents.count(kind)) return nullptr;
  auto e = std::make_unique<SimEvent>();
  e->kind = std::move(kind);
  e->at = p;
  return e;
}

EventRef SimPlatform::createScrollWheelEvent(std::int32_t lines) {
  if (scene_->failEvents.count("scroll")) return nullptr;
  auto e = std::make_unique<SimEvent>();
  e->kind = "scroll";
  e->lines = lines;
  return e;
}

void SimPlatform::setLocation(Event& event, Point p) {
  static_cast<SimEvent&>(event).at = p;
}

bool SimPlatform::inView(const Node& n) const {
  if (!n.parent || n.parent->def->track <= 0) return true;
  auto vp = position(*n.parent);
  auto vs = size(*n.parent);
  auto p = position(n);
  auto z = size(n);
  if (!vp || !vs || !p || !z) return true;
  return p->second + z->second > vp->second && p->second < vp->second + vs->second;
}

void SimPlatform::click(Point p) {
  // A list's drawn bar pages it, toward the click, when the click misses the
  // thumb.
  for (const auto& n : scene_->persistent) {
    const ElementDef& s = *n->def;
    auto pos = position(*n, false);
    auto z = size(*n);
    if (s.track <= 0 || !pos || !z || p.x < pos->first + z->first - s.track ||
        p.x >= pos->first + z->first || p.y < pos->second || p.y >= pos->second + z->second) {
      continue;
    }
    const double most = farthest(*n);
    double& offset = offsets_[&s];
    const double share = z->second / (most + z->second);
    const double thumb = pos->second + offset * share;
    if (p.y < thumb) offset = std::max(0.0, offset - z->second);
    if (p.y >= thumb + z->second * share) offset = std::min(most, offset + z->second);
  }
  for (const auto& n : scene_->persistent) {
    if (n->def->reveals.empty() || !visible(n)) continue;
    auto pos = position(*n, false);
    auto z = size(*n);
    if (!pos || !z) continue;
    if (p.x >= pos->first && p.x < pos->first + z->first && p.y >= pos->second &&
        p.y < pos->second + z->second) {
      for (const std::string& id : n->def->reveals) reveal(*scene_->defById.at(id));
    }
  }
}

double SimPlatform::farthest(const Node& list) const {
  const ElementDef& s = *list.def;
  const auto z = size(list);
  const auto place = s.attrs.find(attr::kPosition);
  if (!z || place == s.attrs.end()) return 0;
  const double viewport = z->second;
  const double top = place->second.b;
  double content = 0;
  if (s.contentHeight) {
    content = *s.contentHeight;
  } else {
    for (const auto& c : s.children) {
      auto p2 = c->attrs.find(attr::kPosition);
      auto z2 = c->attrs.find(attr::kSize);
      if (p2 == c->attrs.end() || z2 == c->attrs.end()) continue;
      const double copies = c->repeat > 0 ? static_cast<double>(c->repeat - 1) : 0;
      content = std::max(content, p2->second.b + z2->second.b + copies * c->stepY - top);
    }
  }
  return std::max(0.0, content - viewport);
}

void SimPlatform::wheel(Point p, std::int32_t lines) {
  // The innermost list under the point takes the wheel.
  std::shared_ptr<Node> target;
  for (const auto& n : scene_->persistent) {
    if (n->def->lineHeight <= 0) continue;
    auto pos = position(*n, false);
    auto z = size(*n);
    if (!pos || !z) continue;
    if (p.x >= pos->first && p.x < pos->first + z->first && p.y >= pos->second &&
        p.y < pos->second + z->second) {
      target = n;
    }
  }
  if (!target) return;
  const ElementDef& s = *target->def;
  const double most = farthest(*target);
  double& offset = offsets_[&s];
  // A negative delta moves toward the end of the list.
  offset = std::clamp(offset - static_cast<double>(lines) * s.lineHeight, 0.0, most);
  if (s.lag > 0) history_[&s].emplace_back(clock_, offset);
}

void SimPlatform::post(Event& event) {
  auto& e = static_cast<SimEvent&>(event);
  if (e.kind == "scroll") {
    record("post scroll " + std::to_string(e.lines) + " lines at " + at(e.at));
    wheel(e.at, e.lines);
    return;
  }
  record("post " + e.kind + " " + at(e.at));
  if (e.kind == "down") downAt_ = e.at;
  if (e.kind == "up") {
    if (downAt_) click(e.at);
    downAt_.reset();
  }
}

std::shared_ptr<Node> SimPlatform::hitAt(const std::shared_ptr<Node>& n, Point p) {
  // Later siblings lie on top of earlier ones; an element without a frame
  // passes the test on to its children.
  const std::vector<std::shared_ptr<Node>> kids = childrenOf(n);
  for (auto c = kids.rbegin(); c != kids.rend(); ++c) {
    auto pos = position(**c, false);
    auto z = size(**c);
    if (!pos || !z) {
      if (std::shared_ptr<Node> inner = hitAt(*c, p)) return inner;
      continue;
    }
    if (p.x >= pos->first && p.x < pos->first + z->first && p.y >= pos->second &&
        p.y < pos->second + z->second) {
      return *c;
    }
  }
  return nullptr;
}

std::optional<Element> SimPlatform::elementAtPoint(const Element& element, Point p) {
  ++reads_;
  std::shared_ptr<Node> n = nodeOfElement(element);
  if (!n || n->def->hitTestFails) return std::nullopt;
  std::shared_ptr<Node> found = hitAt(n, p);
  if (!found) return std::nullopt;
  return handle(found);
}

std::vector<Area> SimPlatform::screens() {
  return scene_->screens;
}

std::optional<std::vector<WindowValue>> SimPlatform::windowList() {
  return scene_->windowServer;
}

void SimPlatform::writeOut(std::string_view bytes) {
  if (onOut) {
    onOut(bytes);
  } else {
    out_ += bytes;
  }
}

void SimPlatform::writeErr(std::string_view bytes) {
  if (onErr) {
    onErr(bytes);
  } else {
    err_ += bytes;
  }
}

std::chrono::nanoseconds SimPlatform::now() {
  return clock_;
}

void SimPlatform::sleepFor(std::chrono::microseconds d) {
  record("pause " + std::to_string(d.count()));
  clock_ += d;
  if (!limitHit_ && static_cast<double>(clock_.count()) > scene_->timeLimit * 1e6) {
    limitHit_ = true;
    record("time-limit");
    if (onTimeLimit) onTimeLimit();
  }
}

void SimPlatform::exit(int status) {
  exitStatus_ = status;
  record("exit " + std::to_string(status));
}

}  // namespace ombru::ax::sim
