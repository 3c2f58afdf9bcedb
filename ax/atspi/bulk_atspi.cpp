#include "bulk_atspi.hpp"

#include <atspi/atspi-constants.h>
#include <dbus/dbus.h>

#include <algorithm>
#include <climits>
#include <limits>

#include "tree_atspi.hpp"

namespace ombru::ax::desktop {
namespace {

constexpr int kCallTimeoutMs = 2000;
// How far ahead of the walk, in elements of the tree's pre-order, reads are
// sent: enough to keep the target busy, few enough that a walk that stops
// early (a list limit, a found web area) leaves little unread.
constexpr std::size_t kLookahead = 512;
// A snapshot larger than this is not taken whole; what it misses is read
// element by element.
constexpr std::size_t kMaxItems = 200000;
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

constexpr const char* kAccessible = "org.a11y.atspi.Accessible";
constexpr const char* kActionIface = "org.a11y.atspi.Action";
constexpr const char* kNullPath = "/org/a11y/atspi/null";
constexpr const char* kItemsSignature = "a((so)(so)(so)iiassusau)";

enum Interface : std::uint32_t {
  kText = 1,
  kValue = 2,
  kComponent = 4,
  kAction = 8,
};

std::uint32_t interfaceBit(std::string_view name) {
  if (name == "org.a11y.atspi.Text") return kText;
  if (name == "org.a11y.atspi.Value") return kValue;
  if (name == "org.a11y.atspi.Component") return kComponent;
  if (name == "org.a11y.atspi.Action") return kAction;
  return 0;
}

bool has(const std::uint32_t states[2], AtspiStateType s) {
  unsigned bit = static_cast<unsigned>(s);
  return (states[bit / 32] >> (bit % 32)) & 1u;
}

std::string stringAt(DBusMessageIter* it) {
  const char* s = nullptr;
  dbus_message_iter_get_basic(it, &s);
  return s ? s : "";
}

// (so): a bus name and an object path.
bool refAt(DBusMessageIter* it, std::string& bus, std::string& path) {
  if (dbus_message_iter_get_arg_type(it) != DBUS_TYPE_STRUCT) return false;
  DBusMessageIter s;
  dbus_message_iter_recurse(it, &s);
  if (dbus_message_iter_get_arg_type(&s) != DBUS_TYPE_STRING) return false;
  bus = stringAt(&s);
  dbus_message_iter_next(&s);
  if (dbus_message_iter_get_arg_type(&s) != DBUS_TYPE_OBJECT_PATH) return false;
  path = stringAt(&s);
  return true;
}

bool statesAt(DBusMessageIter* it, std::uint32_t out[2]) {
  if (dbus_message_iter_get_arg_type(it) != DBUS_TYPE_ARRAY) return false;
  DBusMessageIter a;
  dbus_message_iter_recurse(it, &a);
  out[0] = out[1] = 0;
  for (int i = 0; i < 2 && dbus_message_iter_get_arg_type(&a) == DBUS_TYPE_UINT32; ++i) {
    dbus_uint32_t v = 0;
    dbus_message_iter_get_basic(&a, &v);
    out[i] = v;
    dbus_message_iter_next(&a);
  }
  return true;
}

std::uint32_t interfacesAt(DBusMessageIter* it) {
  std::uint32_t out = 0;
  DBusMessageIter a;
  dbus_message_iter_recurse(it, &a);
  while (dbus_message_iter_get_arg_type(&a) == DBUS_TYPE_STRING) {
    out |= interfaceBit(stringAt(&a));
    dbus_message_iter_next(&a);
  }
  return out;
}

// The first argument of a reply, or of the variant a property Get returns.
bool firstArg(DBusMessage* reply, int type, DBusMessageIter* out, bool variant) {
  if (!reply || !dbus_message_iter_init(reply, out)) return false;
  if (variant) {
    if (dbus_message_iter_get_arg_type(out) != DBUS_TYPE_VARIANT) return false;
    DBusMessageIter v;
    dbus_message_iter_recurse(out, &v);
    *out = v;
  }
  return dbus_message_iter_get_arg_type(out) == type;
}

struct Reply {
  DBusMessage* m;
  explicit Reply(DBusMessage* r) : m(r) {}
  ~Reply() {
    if (m) dbus_message_unref(m);
  }
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;
};

}  // namespace

struct BulkTree::App {
  std::string busName;
  DBusConnection* conn = nullptr;
  bool own = false;  // a connection of its own, straight to the application
  std::map<std::string, std::shared_ptr<Node>> nodes;
  unsigned snapshotGeneration = 0;
  bool noCache = false;  // GetItems is missing or unusable: read one by one
  unsigned childReadGeneration = 0;
  int childReads = 0;
  std::optional<std::string> toolkit;  // its ToolkitName, once asked
  int gtk4 = -1;                       // GTK 4: window-relative places (-1: not asked yet)
  bool originRead = false;
  std::optional<Point> origin;  // GTK 4: the window's screen position
  std::vector<Node*> order;     // the snapshot's pre-order
  std::size_t textCursor = 0, extentCursor = 0;
};

struct BulkTree::Node {
  App* app = nullptr;  // cleared by release()
  std::string path;
  unsigned generation = 0;  // of everything below
  bool listed = false;      // in inFlight_
  // From the snapshot.
  bool item = false;
  std::int32_t index = -1, childCount = 0;
  std::uint32_t role = 0;
  std::uint32_t states[2] = {0, 0};
  std::string name, description, parentPath;
  std::size_t order = kNone;
  // Interfaces, from the snapshot or read once.
  bool interfacesKnown = false;
  std::uint32_t interfaces = 0;
  // Children, validated against the snapshot's counts or read one by one.
  bool kidsKnown = false;
  bool runsDone = false;
  std::vector<std::shared_ptr<Node>> kids;
  Fetch text, extents;
  // A run of text between embedded objects of `owner`'s text, exposed as a
  // static text of its own: characters [runStart, runEnd) of the owner.
  std::weak_ptr<Node> owner;
  std::int32_t runStart = 0, runEnd = 0;
  std::string runText;
  bool isRun() const { return !owner.expired(); }
};

BulkTree::BulkTree(std::string a11yBus,
                   std::function<std::optional<Point>(std::int64_t pid)> originOf)
    : a11yBus_(std::move(a11yBus)), originOf_(std::move(originOf)) {}

BulkTree::~BulkTree() {
  release();
}

void BulkTree::release() {
  invalidate();
  for (auto& [name, a] : apps_) {
    for (auto& [path, n] : a->nodes) {
      n->app = nullptr;
      n->kids.clear();
    }
    a->nodes.clear();
    if (a->own) {
      dbus_connection_close(a->conn);
      dbus_connection_unref(a->conn);
    }
  }
  apps_.clear();
  if (bus_) {
    dbus_connection_close(bus_);
    dbus_connection_unref(bus_);
    bus_ = nullptr;
  }
}

void BulkTree::invalidate() {
  for (Node* n : inFlight_) {
    for (Fetch* f : {&n->text, &n->extents}) {
      if (f->call) {
        dbus_pending_call_cancel(f->call);
        dbus_pending_call_unref(f->call);
      }
      if (f->reply) dbus_message_unref(f->reply);
      *f = Fetch{};
    }
    n->listed = false;
  }
  inFlight_.clear();
  ++generation_;
  for (auto& [name, a] : apps_) {
    a->order.clear();
    a->textCursor = a->extentCursor = 0;
  }
}

bool BulkTree::openBus() {
  if (busTried_) return bus_ != nullptr;
  busTried_ = true;
  DBusError err;
  dbus_error_init(&err);
  bus_ = dbus_connection_open_private(a11yBus_.c_str(), &err);
  dbus_error_free(&err);
  if (!bus_) return false;
  dbus_connection_set_exit_on_disconnect(bus_, FALSE);
  if (!dbus_bus_register(bus_, &err)) {
    dbus_error_free(&err);
    dbus_connection_close(bus_);
    dbus_connection_unref(bus_);
    bus_ = nullptr;
  }
  return bus_ != nullptr;
}

std::vector<ListedApp> BulkTree::applications() {
  std::vector<ListedApp> out;
  if (!openBus()) return out;
  App registry;
  registry.busName = "org.a11y.atspi.Registry";
  registry.conn = bus_;
  Reply r(block(registry, dbus_message_new_method_call(registry.busName.c_str(),
                                                       "/org/a11y/atspi/accessible/root",
                                                       kAccessible, "GetChildren")));
  DBusMessageIter it, list;
  if (!firstArg(r.m, DBUS_TYPE_ARRAY, &it, false)) return out;
  dbus_message_iter_recurse(&it, &list);
  struct Asked {
    ListedApp app;
    std::string busName;
    Fetch name, pid;
  };
  std::vector<Asked> asked;
  for (; dbus_message_iter_get_arg_type(&list) == DBUS_TYPE_STRUCT; dbus_message_iter_next(&list)) {
    Asked a;
    std::string path;
    if (!refAt(&list, a.busName, path) || path == kNullPath) continue;
    const char* iface = kAccessible;
    const char* prop = "Name";
    DBusMessage* m = dbus_message_new_method_call(a.busName.c_str(), path.c_str(),
                                                  "org.freedesktop.DBus.Properties", "Get");
    if (m)
      dbus_message_append_args(m, DBUS_TYPE_STRING, &iface, DBUS_TYPE_STRING, &prop,
                               DBUS_TYPE_INVALID);
    a.name.call = send(registry, m);
    const char* bus = a.busName.c_str();
    m = dbus_message_new_method_call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "GetConnectionUnixProcessID");
    if (m) dbus_message_append_args(m, DBUS_TYPE_STRING, &bus, DBUS_TYPE_INVALID);
    a.pid.call = send(registry, m);
    asked.push_back(std::move(a));
  }
  for (Asked& a : asked) {
    DBusMessageIter v;
    Reply name(wait(a.name));
    if (firstArg(name.m, DBUS_TYPE_STRING, &v, true)) a.app.name = stringAt(&v);
    Reply pid(wait(a.pid));
    if (firstArg(pid.m, DBUS_TYPE_UINT32, &v, false)) {
      dbus_uint32_t p = 0;
      dbus_message_iter_get_basic(&v, &p);
      a.app.pid = p;
    }
    a.app.element = element(a.busName, "/org/a11y/atspi/accessible/root");
    pids_[a.busName] = a.app.pid;
    out.push_back(std::move(a.app));
  }
  return out;
}

BulkTree::App* BulkTree::app(const std::string& busName) {
  if (auto it = apps_.find(busName); it != apps_.end()) return it->second.get();
  openBus();
  auto a = std::make_unique<App>();
  a->busName = busName;
  a->conn = bus_;
  if (bus_) {
    // Applications that offer a connection of their own answer there without
    // the bus daemon in between.
    DBusMessage* m =
        dbus_message_new_method_call(busName.c_str(), "/org/a11y/atspi/accessible/root",
                                     "org.a11y.atspi.Application", "GetApplicationBusAddress");
    Reply r(block(*a, m));
    DBusMessageIter it;
    if (firstArg(r.m, DBUS_TYPE_STRING, &it, false)) {
      std::string address = stringAt(&it);
      DBusError err;
      dbus_error_init(&err);
      DBusConnection* c =
          address.empty() ? nullptr : dbus_connection_open_private(address.c_str(), &err);
      dbus_error_free(&err);
      if (c) {
        dbus_connection_set_exit_on_disconnect(c, FALSE);
        a->conn = c;
        a->own = true;
      }
    }
  }
  App* out = a.get();
  apps_.emplace(busName, std::move(a));
  return out;
}

std::shared_ptr<BulkTree::Node> BulkTree::node(App& a, const std::string& path) {
  auto& slot = a.nodes[path];
  if (!slot) {
    slot = std::make_shared<Node>();
    slot->app = &a;
    slot->path = path;
  }
  return slot;
}

Element BulkTree::element(const std::string& busName, const std::string& path) {
  return Element(node(*app(busName), path));
}

BulkTree::Node* BulkTree::get(const Element& e) {
  Node* n = e.as<Node>();
  if (!n || !n->app || !n->app->conn) return nullptr;
  fresh(*n);
  return n;
}

void BulkTree::fresh(Node& n) {
  if (n.generation == generation_) return;
  n.generation = generation_;
  n.item = false;
  n.order = kNone;
  n.interfacesKnown = false;
  n.kidsKnown = false;
  n.runsDone = false;
  n.kids.clear();
}

DBusMessage* BulkTree::message(const Node& n, const char* iface, const char* method) {
  return dbus_message_new_method_call(n.app->busName.c_str(), n.path.c_str(), iface, method);
}

DBusPendingCall* BulkTree::send(App& a, DBusMessage* m) {
  if (!m) return nullptr;
  DBusPendingCall* call = nullptr;
  if (a.conn) {
    ++calls_;
    if (!dbus_connection_send_with_reply(a.conn, m, &call, kCallTimeoutMs)) call = nullptr;
  }
  dbus_message_unref(m);
  return call;
}

DBusMessage* BulkTree::wait(Fetch& f) {
  if (f.done) return f.reply;
  f.done = true;
  if (!f.call) return nullptr;
  dbus_pending_call_block(f.call);
  DBusMessage* r = dbus_pending_call_steal_reply(f.call);
  dbus_pending_call_unref(f.call);
  f.call = nullptr;
  if (r && dbus_message_get_type(r) != DBUS_MESSAGE_TYPE_METHOD_RETURN) {
    dbus_message_unref(r);
    r = nullptr;
  }
  f.reply = r;
  return r;
}

DBusMessage* BulkTree::block(App& a, DBusMessage* m) {
  Fetch f;
  f.call = send(a, m);
  DBusMessage* r = wait(f);
  return r;  // the caller owns it
}

void BulkTree::start(Node& n, Fetch& f, DBusMessage* m) {
  f.call = send(*n.app, m);
  if (!f.call) f.done = true;
  if (!n.listed) {
    n.listed = true;
    inFlight_.push_back(&n);
  }
}

DBusMessage* BulkTree::property(Node& n, const char* iface, const char* name) {
  DBusMessage* m = message(n, "org.freedesktop.DBus.Properties", "Get");
  if (!m) return nullptr;
  dbus_message_append_args(m, DBUS_TYPE_STRING, &iface, DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID);
  return block(*n.app, m);
}

void BulkTree::snapshot(App& a) {
  if (a.noCache || a.snapshotGeneration == generation_) return;
  a.snapshotGeneration = generation_;
  Reply r(block(a, dbus_message_new_method_call(a.busName.c_str(), "/org/a11y/atspi/cache",
                                                "org.a11y.atspi.Cache", "GetItems")));
  if (!r.m || !dbus_message_has_signature(r.m, kItemsSignature)) {
    a.noCache = true;
    return;
  }
  DBusMessageIter top, list;
  dbus_message_iter_init(r.m, &top);
  dbus_message_iter_recurse(&top, &list);
  std::vector<Node*> items;
  std::map<std::string, std::vector<Node*>> byParent;
  while (dbus_message_iter_get_arg_type(&list) == DBUS_TYPE_STRUCT && items.size() < kMaxItems) {
    DBusMessageIter f;
    dbus_message_iter_recurse(&list, &f);
    dbus_message_iter_next(&list);
    std::string bus, path, parentBus, parentPath;
    if (!refAt(&f, bus, path) || bus != a.busName) continue;
    dbus_message_iter_next(&f);
    dbus_message_iter_next(&f);  // the application
    if (!refAt(&f, parentBus, parentPath)) continue;
    dbus_message_iter_next(&f);
    Node& n = *node(a, path);
    fresh(n);
    dbus_message_iter_get_basic(&f, &n.index);
    dbus_message_iter_next(&f);
    dbus_message_iter_get_basic(&f, &n.childCount);
    dbus_message_iter_next(&f);
    n.interfaces = interfacesAt(&f);
    n.interfacesKnown = true;
    dbus_message_iter_next(&f);
    n.name = stringAt(&f);
    dbus_message_iter_next(&f);
    dbus_message_iter_get_basic(&f, &n.role);
    dbus_message_iter_next(&f);
    n.description = stringAt(&f);
    dbus_message_iter_next(&f);
    statesAt(&f, n.states);
    n.parentPath = parentBus == a.busName ? parentPath : std::string();
    n.item = true;
    items.push_back(&n);
    if (!n.parentPath.empty()) byParent[n.parentPath].push_back(&n);
  }
  // A child list is taken from the snapshot only when it is complete: as
  // many entries as the element counts, at the places 0 to count - 1. An
  // element that makes its children on demand is always asked.
  for (Node* p : items) {
    if (has(p->states, ATSPI_STATE_MANAGES_DESCENDANTS) || p->childCount < 0) continue;
    std::vector<Node*> kids;
    if (auto it = byParent.find(p->path); it != byParent.end()) kids = it->second;
    if (kids.size() != static_cast<std::size_t>(p->childCount)) continue;
    std::sort(kids.begin(), kids.end(), [](Node* x, Node* y) { return x->index < y->index; });
    bool complete = true;
    for (std::size_t i = 0; i < kids.size(); ++i) complete = complete && kids[i]->index == int(i);
    if (!complete) continue;
    p->kidsKnown = true;
    for (Node* k : kids) p->kids.push_back(a.nodes[k->path]);
  }
  // The pre-order the walks will follow, from every element whose parent is
  // not itself in the snapshot.
  std::vector<Node*> stack;
  for (auto it = items.rbegin(); it != items.rend(); ++it) {
    Node* n = *it;
    auto parent = n->parentPath.empty() ? a.nodes.end() : a.nodes.find(n->parentPath);
    if (parent == a.nodes.end() || !parent->second->item) stack.push_back(n);
  }
  while (!stack.empty()) {
    Node* n = stack.back();
    stack.pop_back();
    if (n->order != kNone) continue;
    n->order = a.order.size();
    a.order.push_back(n);
    if (!n->kidsKnown) continue;
    for (auto k = n->kids.rbegin(); k != n->kids.rend(); ++k) stack.push_back(k->get());
  }
}

void BulkTree::startText(Node& n) {
  DBusMessage* m = message(n, "org.a11y.atspi.Text", "GetText");
  dbus_int32_t from = 0, to = -1;
  if (m)
    dbus_message_append_args(m, DBUS_TYPE_INT32, &from, DBUS_TYPE_INT32, &to, DBUS_TYPE_INVALID);
  start(n, n.text, m);
}

void BulkTree::startExtents(Node& n) {
  DBusMessage* m = message(n, "org.a11y.atspi.Component", "GetExtents");
  // GTK 4 answers only window coordinates (screen ones with a warning, wrong).
  dbus_uint32_t coords = isGtk4(*n.app) ? ATSPI_COORD_TYPE_WINDOW : ATSPI_COORD_TYPE_SCREEN;
  if (m) dbus_message_append_args(m, DBUS_TYPE_UINT32, &coords, DBUS_TYPE_INVALID);
  start(n, n.extents, m);
}

// Sends the reads of the same kind for the elements the walk meets next:
// those of a role it has asked this kind of read for before.
void BulkTree::prefetch(Node& n, bool text) {
  if (!n.item) return;
  (text ? textRoles_ : extentRoles_).insert(n.role);
  App& a = *n.app;
  if (n.order == kNone) return;
  std::size_t& cursor = text ? a.textCursor : a.extentCursor;
  std::size_t end = std::min(a.order.size(), n.order + 1 + kLookahead);
  const std::set<std::uint32_t>& roles = text ? textRoles_ : extentRoles_;
  for (std::size_t p = std::max(cursor, n.order + 1); p < end; ++p) {
    Node& m = *a.order[p];
    if (!m.item || !roles.count(m.role)) continue;
    if (text) {
      if ((m.interfaces & kText) && !m.text.call && !m.text.done) startText(m);
    } else if ((m.interfaces & kComponent) && placed(a, m.states) && !m.extents.call &&
               !m.extents.done) {
      startExtents(m);
    }
  }
  cursor = std::max(cursor, end);
}

bool BulkTree::interfaces(Node& n, std::uint32_t& out) {
  if (!n.interfacesKnown) {
    Reply r(block(*n.app, message(n, kAccessible, "GetInterfaces")));
    DBusMessageIter it;
    if (!firstArg(r.m, DBUS_TYPE_ARRAY, &it, false)) return false;
    n.interfaces = interfacesAt(&it);
    n.interfacesKnown = true;
  }
  out = n.interfaces;
  return true;
}

bool BulkTree::states(Node& n, std::uint32_t out[2]) {
  if (n.item) {
    out[0] = n.states[0];
    out[1] = n.states[1];
    return true;
  }
  Reply r(block(*n.app, message(n, kAccessible, "GetState")));
  DBusMessageIter it;
  if (!firstArg(r.m, DBUS_TYPE_ARRAY, &it, false)) return false;
  return statesAt(&it, out);
}

std::optional<Value> BulkTree::children(Node& n, bool walking) {
  // A walk reads many child lists; `hold` reads one, every few seconds, and
  // should not cost the target its whole tree each time.
  App& a = *n.app;
  if (a.childReadGeneration != generation_) {
    a.childReadGeneration = generation_;
    a.childReads = 0;
  }
  if (walking && ++a.childReads > 1) snapshot(a);
  if (!n.kidsKnown) {
    // Counted afresh: the snapshot's count is what made its list unusable.
    Reply count(property(n, kAccessible, "ChildCount"));
    DBusMessageIter it;
    if (!firstArg(count.m, DBUS_TYPE_INT32, &it, true)) return std::nullopt;
    dbus_int32_t c = 0;
    dbus_message_iter_get_basic(&it, &c);
    if (c < 0) return std::nullopt;
    std::vector<Fetch> calls(static_cast<std::size_t>(c));
    for (dbus_int32_t i = 0; i < c; ++i) {
      DBusMessage* m = message(n, kAccessible, "GetChildAtIndex");
      if (m) dbus_message_append_args(m, DBUS_TYPE_INT32, &i, DBUS_TYPE_INVALID);
      calls[static_cast<std::size_t>(i)].call = send(*n.app, m);
    }
    bool failed = false;
    std::vector<std::shared_ptr<Node>> kids;
    for (Fetch& f : calls) {
      if (failed) {
        if (f.call) {
          dbus_pending_call_cancel(f.call);
          dbus_pending_call_unref(f.call);
        }
        continue;
      }
      Reply r(wait(f));
      std::string bus, path;
      DBusMessageIter ref;
      // A failed child means the target stopped answering.
      if (!firstArg(r.m, DBUS_TYPE_STRUCT, &ref, false) || !refAt(&ref, bus, path)) {
        failed = true;
        continue;
      }
      if (path == kNullPath) continue;
      App* owner = bus == n.app->busName ? n.app : app(bus);
      kids.push_back(node(*owner, path));
    }
    if (failed) return std::nullopt;
    n.kids = std::move(kids);
    n.kidsKnown = true;
  }
  if (!n.runsDone) {
    n.runsDone = true;
    addRuns(n);
  }
  std::vector<Element> out;
  out.reserve(n.kids.size());
  for (const auto& k : n.kids) out.push_back(Element(k));
  return Value::ofElements(std::move(out));
}

std::optional<Value> BulkTree::windows(Node& n) {
  auto kids = children(n, false);
  if (!kids) return std::nullopt;
  std::vector<TopLevel> found;
  for (Element& child : kids->elements) {
    Node* c = get(child);
    if (!c) continue;
    std::uint32_t role = 0;
    if (c->item) {
      role = c->role;
    } else {
      Reply r(block(*c->app, message(*c, kAccessible, "GetRole")));
      DBusMessageIter it;
      if (!firstArg(r.m, DBUS_TYPE_UINT32, &it, false)) continue;
      dbus_message_iter_get_basic(&it, &role);
    }
    TopLevel t{child, static_cast<int>(role)};
    std::uint32_t s[2] = {0, 0};
    if (states(*c, s)) {
      t.active = has(s, ATSPI_STATE_ACTIVE);
      t.showing = has(s, ATSPI_STATE_SHOWING);
    }
    found.push_back(std::move(t));
  }
  return rankWindows(found);
}

std::optional<Value> BulkTree::roleOf(Node& n) {
  std::uint32_t role = n.role;
  if (!n.item) {
    Reply r(block(*n.app, message(n, kAccessible, "GetRole")));
    DBusMessageIter it;
    if (!firstArg(r.m, DBUS_TYPE_UINT32, &it, false)) return std::nullopt;
    dbus_message_iter_get_basic(&it, &role);
  }
  bool multi = false;
  if (role == ATSPI_ROLE_TEXT || role == ATSPI_ROLE_ENTRY) {
    std::uint32_t s[2] = {0, 0};
    multi = states(n, s) && has(s, ATSPI_STATE_MULTI_LINE);
  }
  return Value::ofText(roleName(static_cast<int>(role), multi));
}

std::optional<Value> BulkTree::value(Node& n) {
  std::uint32_t ifaces = 0;
  if (!interfaces(n, ifaces)) return std::nullopt;
  if (ifaces & kText) {
    if (!n.text.call && !n.text.done) startText(n);
    prefetch(n, true);
    DBusMessageIter it;
    if (!firstArg(wait(n.text), DBUS_TYPE_STRING, &it, false)) return std::nullopt;
    return Value::ofText(withoutObjectReplacement(stringAt(&it)));
  }
  if (ifaces & kValue) {
    Reply r(property(n, "org.a11y.atspi.Value", "CurrentValue"));
    DBusMessageIter it;
    if (!firstArg(r.m, DBUS_TYPE_DOUBLE, &it, true)) return std::nullopt;
    double v = 0;
    dbus_message_iter_get_basic(&it, &v);
    return Value::ofNumber(v);
  }
  return std::nullopt;
}

std::optional<Value> BulkTree::textProperty(Node& n, const char* name) {
  if (n.item) return Value::ofText(std::string_view(name) == "Name" ? n.name : n.description);
  Reply r(property(n, kAccessible, name));
  DBusMessageIter it;
  if (!firstArg(r.m, DBUS_TYPE_STRING, &it, true)) return std::nullopt;
  return Value::ofText(stringAt(&it));
}

std::optional<Value> BulkTree::placeholder(Node& n) {
  Reply r(block(*n.app, message(n, kAccessible, "GetAttributes")));
  DBusMessageIter it;
  if (!firstArg(r.m, DBUS_TYPE_ARRAY, &it, false)) return std::nullopt;
  DBusMessageIter entries;
  dbus_message_iter_recurse(&it, &entries);
  while (dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY) {
    DBusMessageIter kv;
    dbus_message_iter_recurse(&entries, &kv);
    std::string key = stringAt(&kv);
    dbus_message_iter_next(&kv);
    if (key == "placeholder-text") return Value::ofText(stringAt(&kv));
    dbus_message_iter_next(&entries);
  }
  return std::nullopt;
}

std::optional<BulkTree::Extents> BulkTree::extents(Node& n) {
  // Only what is on screen has a frame (see AtspiTree::extents).
  std::uint32_t s[2] = {0, 0};
  if (!states(n, s) || !placed(*n.app, s)) return std::nullopt;
  std::uint32_t ifaces = 0;
  if (!interfaces(n, ifaces) || !(ifaces & kComponent)) return std::nullopt;
  if (!n.extents.call && !n.extents.done) startExtents(n);
  prefetch(n, false);
  std::optional<Extents> e = parseExtents(wait(n.extents));
  if (e && isGtk4(*n.app)) {
    std::optional<Point> o = origin(*n.app);
    if (!o) return std::nullopt;  // never a window-relative place taken for a screen one
    e->x += o->x;
    e->y += o->y;
  }
  return e;
}

bool BulkTree::isGtk4(App& a) {
  if (a.gtk4 < 0) {
    a.gtk4 = 0;
    if (toolkitName(a) == "GTK") {
      Node& root = *node(a, "/org/a11y/atspi/accessible/root");
      Reply version(property(root, "org.a11y.atspi.Application", "Version"));
      DBusMessageIter v;
      a.gtk4 = firstArg(version.m, DBUS_TYPE_STRING, &v, true) && stringAt(&v).rfind("4.", 0) == 0;
    }
  }
  return a.gtk4 == 1;
}

std::optional<Point> BulkTree::origin(App& a) {
  if (!a.originRead) {
    a.originRead = true;
    auto pid = pids_.find(a.busName);
    if (originOf_ && pid != pids_.end()) a.origin = originOf_(pid->second);
  }
  return a.origin;
}

bool BulkTree::placed(App& a, const std::uint32_t s[2]) {
  // GTK 4.8 marks nothing below the window as showing; visible is the most
  // it says. A row scrolled away is then caught by the click guard.
  return has(s, ATSPI_STATE_SHOWING) || (isGtk4(a) && has(s, ATSPI_STATE_VISIBLE));
}

std::optional<BulkTree::Extents> BulkTree::parseExtents(DBusMessage* r) {
  dbus_int32_t v[4];
  DBusMessageIter it, f;
  // GetExtents answers one (iiii) structure, GetRangeExtents four integers.
  if (firstArg(r, DBUS_TYPE_STRUCT, &it, false)) {
    dbus_message_iter_recurse(&it, &f);
  } else if (firstArg(r, DBUS_TYPE_INT32, &it, false)) {
    f = it;
  } else {
    return std::nullopt;
  }
  for (auto& x : v) {
    if (dbus_message_iter_get_arg_type(&f) != DBUS_TYPE_INT32) return std::nullopt;
    dbus_message_iter_get_basic(&f, &x);
    dbus_message_iter_next(&f);
  }
  if (v[0] == INT_MIN || v[1] == INT_MIN) return std::nullopt;
  return Extents{double(v[0]), double(v[1]), double(v[2]), double(v[3])};
}

std::optional<Value> BulkTree::parent(Node& n) {
  Reply r(property(n, kAccessible, "Parent"));
  DBusMessageIter it;
  std::string bus, path;
  if (!firstArg(r.m, DBUS_TYPE_STRUCT, &it, true) || !refAt(&it, bus, path)) return std::nullopt;
  if (path == kNullPath) return Value::absent();
  return Value::ofElement(element(bus, path));
}

std::optional<Value> BulkTree::runRead(Node& n, std::string_view attribute) {
  std::shared_ptr<Node> owner = n.owner.lock();
  if (attribute == "AXChildren") return Value::ofElements({});
  if (attribute == "AXRole") return Value::ofText("AXStaticText");
  if (attribute == "AXValue") return Value::ofText(n.runText);
  if (attribute == "AXTitle" || attribute == "AXDescription") return Value::ofText("");
  if (attribute == "AXParent") return Value::ofElement(Element(owner));
  if (attribute == "AXFocused") return Value::ofBoolean(false);
  if (attribute != "AXPosition" && attribute != "AXSize") return std::nullopt;
  // The run's extents, as the owner's text places its characters; only
  // while the owner is on screen (see extents()).
  std::uint32_t s[2] = {0, 0};
  if (!owner || !states(*owner, s) || !has(s, ATSPI_STATE_SHOWING)) return std::nullopt;
  if (!n.extents.call && !n.extents.done) {
    DBusMessage* m = message(*owner, "org.a11y.atspi.Text", "GetRangeExtents");
    dbus_uint32_t screen = 0;
    if (m)
      dbus_message_append_args(m, DBUS_TYPE_INT32, &n.runStart, DBUS_TYPE_INT32, &n.runEnd,
                               DBUS_TYPE_UINT32, &screen, DBUS_TYPE_INVALID);
    start(n, n.extents, m);
  }
  std::optional<Extents> e = parseExtents(wait(n.extents));
  if (!e || !(e->width > 0 && e->height > 0)) return std::nullopt;
  if (attribute == "AXPosition") return Value::ofPoint(Point{e->x, e->y});
  return Value::ofSize(Size{e->width, e->height});
}

const std::string& BulkTree::toolkitName(App& a) {
  if (!a.toolkit) {
    Node& root = *node(a, "/org/a11y/atspi/accessible/root");
    Reply r(property(root, "org.a11y.atspi.Application", "ToolkitName"));
    DBusMessageIter it;
    a.toolkit = firstArg(r.m, DBUS_TYPE_STRING, &it, true) ? stringAt(&it) : std::string();
  }
  return *a.toolkit;
}

bool BulkTree::isGecko(App& a) {
  return toolkitName(a) == "Gecko";
}

std::string BulkTree::toolkit(const Element& application) {
  Node* n = get(application);
  return n ? toolkitName(*n->app) : std::string();
}

bool BulkTree::busy(const Element& element) {
  Node* n = get(element);
  if (!n || n->isRun()) return false;
  std::uint32_t s[2] = {0, 0};
  return states(*n, s) && has(s, ATSPI_STATE_BUSY);
}

void BulkTree::addRuns(Node& n) {
  // Firefox keeps the text of an element in the element's own text, with
  // one U+FFFC for each child, and has no text elements of its own: each
  // run of text between children becomes a static text, in its place among
  // the children. Fields keep their text as their value.
  if (!isGecko(*n.app)) return;
  std::uint32_t ifaces = 0, s[2] = {0, 0};
  if (!interfaces(n, ifaces) || !(ifaces & kText)) return;
  if (!states(n, s) || has(s, ATSPI_STATE_EDITABLE)) return;
  // Controls whose text is their own name, as Chromium shows them: no text
  // elements inside.
  std::uint32_t role = n.role;
  if (!n.item) {
    Reply r(block(*n.app, message(n, kAccessible, "GetRole")));
    DBusMessageIter ri;
    if (!firstArg(r.m, DBUS_TYPE_UINT32, &ri, false)) return;
    dbus_message_iter_get_basic(&ri, &role);
  }
  switch (role) {
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_TOGGLE_BUTTON:
    case ATSPI_ROLE_CHECK_BOX:
    case ATSPI_ROLE_RADIO_BUTTON:
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
    case ATSPI_ROLE_PAGE_TAB:
    case ATSPI_ROLE_COMBO_BOX:
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PASSWORD_TEXT:
      return;
    default:
      break;
  }
  if (!n.text.call && !n.text.done) startText(n);
  prefetch(n, true);
  DBusMessageIter it;
  if (!firstArg(wait(n.text), DBUS_TYPE_STRING, &it, false)) return;
  const std::string text = stringAt(&it);
  static constexpr std::string_view kFffc = "\xEF\xBF\xBC";
  std::vector<std::shared_ptr<Node>> merged;
  std::size_t child = 0;
  std::int32_t at = 0, runFrom = 0;  // in characters, as the Text interface counts
  std::size_t byteFrom = 0;
  auto endRun = [&](std::size_t byteTo, std::int32_t to) {
    std::string run = text.substr(byteFrom, byteTo - byteFrom);
    if (run.find_first_not_of(" \t\n\r") == std::string::npos) return;
    auto& slot = n.app->nodes[n.path + "#" + std::to_string(runFrom)];
    if (!slot) slot = std::make_shared<Node>();
    Node& r = *slot;
    r.app = n.app;
    r.path = n.path;
    r.owner = n.app->nodes[n.path];
    r.runStart = runFrom;
    r.runEnd = to;
    r.runText = std::move(run);
    r.generation = generation_;
    merged.push_back(slot);
  };
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, kFffc.size(), kFffc) == 0) {
      endRun(i, at);
      if (child >= n.kids.size()) return;  // more placeholders than children
      merged.push_back(n.kids[child++]);
      i += kFffc.size();
      ++at;
      byteFrom = i;
      runFrom = at;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(text[i]);
    i += c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    ++at;
  }
  endRun(text.size(), at);
  // Only where every child is an embedded object does the text between
  // them belong to no element.
  if (child != n.kids.size()) return;
  n.kids = std::move(merged);
}

std::optional<Value> BulkTree::read(const Element& element, std::string_view attribute) {
  Node* n = get(element);
  if (!n) return std::nullopt;
  if (n->isRun()) return runRead(*n, attribute);
  if (attribute == "AXChildren") return children(*n, true);
  if (attribute == "AXWindows") return windows(*n);
  if (attribute == "AXRole") return roleOf(*n);
  if (attribute == "AXValue") return value(*n);
  if (attribute == "AXTitle") return textProperty(*n, "Name");
  if (attribute == "AXDescription") return textProperty(*n, "Description");
  if (attribute == "AXPlaceholderValue") return placeholder(*n);
  if (attribute == "AXPosition") {
    auto e = extents(*n);
    if (!e) return std::nullopt;
    return Value::ofPoint(Point{e->x, e->y});
  }
  if (attribute == "AXSize") {
    auto e = extents(*n);
    if (!e) return std::nullopt;
    return Value::ofSize(Size{e->width, e->height});
  }
  if (attribute == "AXParent") return parent(*n);
  if (attribute == "AXFocused") {
    std::uint32_t s[2] = {0, 0};
    // As libatspi does, an unanswered state read is an empty set.
    bool focused = states(*n, s) && has(s, ATSPI_STATE_FOCUSED);
    return Value::ofBoolean(focused);
  }
  return std::nullopt;
}

std::optional<Element> BulkTree::atPoint(const Element& element, Point at) {
  Node* n = get(element);
  if (n && n->isRun()) return std::nullopt;
  std::uint32_t ifaces = 0;
  if (!n || !interfaces(*n, ifaces) || !(ifaces & kComponent)) return std::nullopt;
  dbus_uint32_t coords = ATSPI_COORD_TYPE_SCREEN;
  if (isGtk4(*n->app)) {
    std::optional<Point> o = origin(*n->app);
    if (!o) return std::nullopt;
    at = Point{at.x - o->x, at.y - o->y};
    coords = ATSPI_COORD_TYPE_WINDOW;
  }
  dbus_int32_t x = 0, y = 0;
  if (!toInt(at.x, x) || !toInt(at.y, y)) return std::nullopt;
  DBusMessage* m = message(*n, "org.a11y.atspi.Component", "GetAccessibleAtPoint");
  if (!m) return std::nullopt;
  dbus_message_append_args(m, DBUS_TYPE_INT32, &x, DBUS_TYPE_INT32, &y, DBUS_TYPE_UINT32, &coords,
                           DBUS_TYPE_INVALID);
  Reply r(block(*n->app, m));
  DBusMessageIter it;
  std::string bus, path;
  if (!firstArg(r.m, DBUS_TYPE_STRUCT, &it, false) || !refAt(&it, bus, path)) return std::nullopt;
  if (path == kNullPath) return std::nullopt;
  return Element(node(bus == n->app->busName ? *n->app : *app(bus), path));
}

bool BulkTree::grabFocus(const Element& element) {
  Node* n = get(element);
  if (n && n->isRun()) return false;
  std::uint32_t ifaces = 0;
  if (!n || !interfaces(*n, ifaces) || !(ifaces & kComponent)) return false;
  Reply r(block(*n->app, message(*n, "org.a11y.atspi.Component", "GrabFocus")));
  DBusMessageIter it;
  if (!firstArg(r.m, DBUS_TYPE_BOOLEAN, &it, false)) return false;
  dbus_bool_t ok = FALSE;
  dbus_message_iter_get_basic(&it, &ok);
  return ok;
}

bool BulkTree::eachAction(Node& n, const std::function<bool(std::int32_t, std::string)>& visit) {
  Reply count(property(n, kActionIface, "NActions"));
  DBusMessageIter it;
  if (!firstArg(count.m, DBUS_TYPE_INT32, &it, true)) return false;
  dbus_int32_t c = 0;
  dbus_message_iter_get_basic(&it, &c);
  for (dbus_int32_t i = 0; i < c; ++i) {
    DBusMessage* m = message(n, kActionIface, "GetName");
    if (m) dbus_message_append_args(m, DBUS_TYPE_INT32, &i, DBUS_TYPE_INVALID);
    Reply r(block(*n.app, m));
    if (!firstArg(r.m, DBUS_TYPE_STRING, &it, false)) return false;
    if (!visit(i, actionName(stringAt(&it)))) break;
  }
  return true;
}

std::optional<std::vector<std::string>> BulkTree::actions(const Element& element) {
  Node* n = get(element);
  if (!n) return std::nullopt;
  if (n->isRun()) return std::vector<std::string>{};
  std::uint32_t ifaces = 0;
  std::vector<std::string> out;
  if (!interfaces(*n, ifaces) || !(ifaces & kAction)) return out;
  const bool read = eachAction(*n, [&](std::int32_t, std::string name) {
    addAction(out, std::move(name));
    return true;
  });
  if (!read) return std::nullopt;
  return out;
}

bool BulkTree::perform(const Element& element, std::string_view wanted) {
  Node* n = get(element);
  if (n && n->isRun()) return false;
  std::uint32_t ifaces = 0;
  if (!n || !interfaces(*n, ifaces) || !(ifaces & kAction)) return false;
  std::optional<std::int32_t> index;
  const bool read = eachAction(*n, [&](std::int32_t i, const std::string& name) {
    if (name == wanted) index = i;
    return !index;
  });
  if (!read || !index) return false;
  DBusMessage* d = message(*n, kActionIface, "DoAction");
  if (d) dbus_message_append_args(d, DBUS_TYPE_INT32, &*index, DBUS_TYPE_INVALID);
  Reply done(block(*n->app, d));
  DBusMessageIter it;
  if (!firstArg(done.m, DBUS_TYPE_BOOLEAN, &it, false)) return false;
  dbus_bool_t ok = FALSE;
  dbus_message_iter_get_basic(&it, &ok);
  return ok;
}

}  // namespace ombru::ax::desktop
