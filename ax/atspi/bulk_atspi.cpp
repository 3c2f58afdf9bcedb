#include "bulk_atspi.hpp"

#include <atspi/atspi-constants.h>
#include <dbus/dbus.h>

#include <algorithm>
#include <limits>

namespace ombru::ax::desktop {
namespace {

// How far ahead of the walk, in elements of the tree's pre-order, reads are
// sent: enough to keep the target busy, few enough that a walk that stops
// early (a list limit, a found web area) leaves little unread.
constexpr std::size_t kLookahead = 512;
// A snapshot larger than this is not taken whole; what it misses is read
// element by element.
constexpr std::size_t kMaxItems = 200000;
constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
// How many stacks the walk meets next have their hit tests sent along with
// the one it asks for.
constexpr std::size_t kStackLookahead = 64;

constexpr const char* kAccessible = "org.a11y.atspi.Accessible";
constexpr const char* kActionInterface = "org.a11y.atspi.Action";
constexpr const char* kNullPath = "/org/a11y/atspi/null";
constexpr const char* kItemsSignature = "a((so)(so)(so)iiassusau)";

std::uint32_t interfaceBit(std::string_view name) {
  if (name == "org.a11y.atspi.Text") return TreeReader::kTextIface;
  if (name == "org.a11y.atspi.Value") return TreeReader::kValueIface;
  if (name == "org.a11y.atspi.Component") return TreeReader::kComponentIface;
  if (name == "org.a11y.atspi.Action") return TreeReader::kActionIface;
  return 0;
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

bool statesAt(DBusMessageIter* it, TreeReader::States& out) {
  if (dbus_message_iter_get_arg_type(it) != DBUS_TYPE_ARRAY) return false;
  DBusMessageIter a;
  dbus_message_iter_recurse(it, &a);
  std::uint32_t words[2] = {0, 0};
  for (int i = 0; i < 2 && dbus_message_iter_get_arg_type(&a) == DBUS_TYPE_UINT32; ++i) {
    dbus_uint32_t v = 0;
    dbus_message_iter_get_basic(&a, &v);
    words[i] = v;
    dbus_message_iter_next(&a);
  }
  out = TreeReader::statesOf(words[0], words[1]);
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
  std::optional<std::string> toolkit, version;  // once asked
  int relative = -1;         // places relative to the window (GTK 4); -1: not asked yet
  std::vector<Node*> order;  // the snapshot's pre-order
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
  States states = 0;
  std::string name, description, parentPath;
  std::size_t order = kNone;
  std::size_t end = kNone;  // past the last element below it, in that order
  bool stack = false;       // holds pages of a stack (GTK 4)
  bool page = false;        // one of those pages
  bool entered = false;     // the walk has read the page's children
  // Interfaces, from the snapshot or read once.
  bool interfacesKnown = false;
  std::uint32_t interfaces = 0;
  // Children, validated against the snapshot's counts or read one by one.
  bool kidsKnown = false;
  std::vector<std::shared_ptr<Node>> kids;
  Fetch text, extents, hit;
  bool windowExtents = false;  // `extents` was asked in window coordinates
};

BulkTree::BulkTree(std::string a11yBus) : a11yBus_(std::move(a11yBus)) {}

BulkTree::~BulkTree() {
  release();
}

void BulkTree::drop() {
  forget();
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

void BulkTree::discard(Fetch& f) {
  if (f.call) {
    dbus_pending_call_cancel(f.call);
    dbus_pending_call_unref(f.call);
  }
  if (f.reply) dbus_message_unref(f.reply);
  f = Fetch{};
}

void BulkTree::forget() {
  for (Node* n : inFlight_) {
    discard(n->text);
    discard(n->extents);
    discard(n->hit);
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
  Reply r(block(registry, dbus_message_new_method_call(registry.busName.c_str(), kRootPath,
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
    a.app.element = element(a.busName, kRootPath);
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
    DBusMessage* m = dbus_message_new_method_call(
        busName.c_str(), kRootPath, "org.a11y.atspi.Application", "GetApplicationBusAddress");
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
  n.parentPath.clear();
  n.order = kNone;
  n.end = kNone;
  n.stack = n.page = n.entered = false;
  n.interfacesKnown = false;
  n.kidsKnown = false;
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
  // many entries as the element counts, at consecutive places. GTK 4.8
  // numbers the one child of a stack page from 1, not 0. An element that
  // makes its children on demand is always asked.
  for (Node* p : items) {
    if (has(p->states, ATSPI_STATE_MANAGES_DESCENDANTS) || p->childCount < 0) continue;
    std::vector<Node*> kids;
    if (auto it = byParent.find(p->path); it != byParent.end()) kids = it->second;
    if (kids.size() != static_cast<std::size_t>(p->childCount)) continue;
    std::sort(kids.begin(), kids.end(), [](Node* x, Node* y) { return x->index < y->index; });
    bool complete = true;
    for (std::size_t i = 0; i < kids.size(); ++i)
      complete = complete && kids[i]->index >= 0 && kids[i]->index == kids.front()->index + int(i);
    if (!complete) continue;
    p->kidsKnown = true;
    for (Node* k : kids) p->kids.push_back(a.nodes[k->path]);
    p->stack =
        std::count_if(kids.begin(), kids.end(), [](Node* k) { return isStackPage(k->name); }) >= 2;
    if (p->stack)
      for (Node* k : kids) k->page = isStackPage(k->name);
  }
  // The pre-order the walks will follow, from every element whose parent's
  // list is not taken from the snapshot (GTK 4.8 counts no children of the
  // application, so its windows start lists of their own).
  std::vector<Node*> stack;
  for (auto it = items.rbegin(); it != items.rend(); ++it) {
    Node* n = *it;
    auto parent = n->parentPath.empty() ? a.nodes.end() : a.nodes.find(n->parentPath);
    if (parent == a.nodes.end() || !parent->second->item || !parent->second->kidsKnown)
      stack.push_back(n);
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
  // A subtree is one stretch of that order; it ends where its last
  // descendant's ends.
  for (auto it = a.order.rbegin(); it != a.order.rend(); ++it) {
    Node* n = *it;
    n->end = n->order + 1;
    for (const auto& k : n->kids)
      if (k->order != kNone && k->order > n->order) n->end = std::max(n->end, k->end);
  }
}

void BulkTree::startText(Node& n) {
  DBusMessage* m = message(n, "org.a11y.atspi.Text", "GetText");
  dbus_int32_t from = 0, to = -1;
  if (m)
    dbus_message_append_args(m, DBUS_TYPE_INT32, &from, DBUS_TYPE_INT32, &to, DBUS_TYPE_INVALID);
  start(n, n.text, m);
}

void BulkTree::startExtents(Node& n, bool window) {
  DBusMessage* m = message(n, "org.a11y.atspi.Component", "GetExtents");
  dbus_uint32_t coords = coordType(window);
  if (m) dbus_message_append_args(m, DBUS_TYPE_UINT32, &coords, DBUS_TYPE_INVALID);
  n.windowExtents = window;
  start(n, n.extents, m);
}

void BulkTree::describe(const std::vector<std::shared_ptr<Node>>& kids) {
  // A toolkit that lists few elements in its snapshot (GTK 3 lists those
  // its bridge has met) would otherwise cost one round trip for each of
  // these reads of each element, and the walk reads all of them.
  struct Asked {
    Node* node;
    Fetch role, states, interfaces, name, description, count;
  };
  std::vector<Asked> asked;
  for (const auto& k : kids) {
    Node& c = *k;
    fresh(c);
    if (c.item || !c.app) continue;
    Asked a{&c, {}, {}, {}, {}, {}, {}};
    a.role.call = send(*c.app, message(c, kAccessible, "GetRole"));
    a.states.call = send(*c.app, message(c, kAccessible, "GetState"));
    a.interfaces.call = send(*c.app, message(c, kAccessible, "GetInterfaces"));
    for (auto [f, prop] : {std::pair{&a.name, "Name"}, std::pair{&a.description, "Description"},
                           std::pair{&a.count, "ChildCount"}}) {
      DBusMessage* m = message(c, "org.freedesktop.DBus.Properties", "Get");
      if (m)
        dbus_message_append_args(m, DBUS_TYPE_STRING, &kAccessible, DBUS_TYPE_STRING, &prop,
                                 DBUS_TYPE_INVALID);
      f->call = send(*c.app, m);
    }
    asked.push_back(std::move(a));
  }
  // Taken only when every answer came: a part would leave the element
  // half known.
  for (Asked& a : asked) {
    Reply role(wait(a.role)), states(wait(a.states)), interfaces(wait(a.interfaces)),
        name(wait(a.name)), description(wait(a.description)), count(wait(a.count));
    DBusMessageIter r, s, i, nm, d;
    if (!firstArg(role.m, DBUS_TYPE_UINT32, &r, false) ||
        !firstArg(states.m, DBUS_TYPE_ARRAY, &s, false) ||
        !firstArg(interfaces.m, DBUS_TYPE_ARRAY, &i, false) ||
        !firstArg(name.m, DBUS_TYPE_STRING, &nm, true) ||
        !firstArg(description.m, DBUS_TYPE_STRING, &d, true)) {
      continue;
    }
    Node& c = *a.node;
    dbus_uint32_t roleNumber = 0;
    dbus_message_iter_get_basic(&r, &roleNumber);
    States bits = 0;
    if (!statesAt(&s, bits)) continue;
    c.role = roleNumber;
    c.states = bits;
    c.interfaces = interfacesAt(&i);
    c.interfacesKnown = true;
    c.name = stringAt(&nm);
    c.description = stringAt(&d);
    c.item = true;
    // A leaf needs no list of its own; any other list is counted afresh
    // when it is read.
    DBusMessageIter k;
    dbus_int32_t children = -1;
    if (firstArg(count.m, DBUS_TYPE_INT32, &k, true)) dbus_message_iter_get_basic(&k, &children);
    if (children == 0 && !has(bits, ATSPI_STATE_MANAGES_DESCENDANTS)) c.kidsKnown = true;
  }
}

// Sends the reads of the same kind for the elements the walk meets next:
// those of a role it has asked this kind of read for before.
void BulkTree::prefetch(Node& n, bool text) {
  if (!n.item) return;
  (text ? textRoles_ : extentRoles_).insert(n.role);
  if (n.order != kNone) readAhead(*n.app, n.order, text);
}

void BulkTree::readAhead(App& a, std::size_t after, bool text) {
  std::size_t& cursor = text ? a.textCursor : a.extentCursor;
  std::size_t end = std::min(a.order.size(), after + 1 + kLookahead);
  const std::set<std::uint32_t>& roles = text ? textRoles_ : extentRoles_;
  for (std::size_t p = std::max(cursor, after + 1); p < end; ++p) {
    Node& m = *a.order[p];
    // Of a stack's pages only the one on screen is walked: none is read
    // ahead before the walk enters it.
    if (m.page && !m.entered) {
      p = std::max(p, m.end - 1);
      continue;
    }
    if (!m.item || !roles.count(m.role)) continue;
    if (text) {
      if ((m.interfaces & kTextIface) && !m.text.call && !m.text.done) startText(m);
    } else if ((m.interfaces & kComponentIface) && placed(a, m.states) && !m.extents.call &&
               !m.extents.done) {
      startExtents(m, relative(a));
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

bool BulkTree::readStates(Node& n, States& out) {
  if (n.item) {
    out = n.states;
    return true;
  }
  Reply r(block(*n.app, message(n, kAccessible, "GetState")));
  DBusMessageIter it;
  if (!firstArg(r.m, DBUS_TYPE_ARRAY, &it, false)) return false;
  return statesAt(&it, out);
}

std::optional<std::vector<Element>> BulkTree::children(const Element& e, bool walking) {
  Node* found = get(e);
  if (!found) return std::nullopt;
  Node& n = *found;
  // A walk reads many child lists; `hold` reads one, every few seconds, and
  // should not cost the target its whole tree each time.
  App& a = *n.app;
  if (a.childReadGeneration != generation_) {
    a.childReadGeneration = generation_;
    a.childReads = 0;
  }
  if (walking && ++a.childReads > 1) snapshot(a);
  if (walking && n.page && !n.entered && n.order != kNone) {
    // What the page holds is read ahead now that the walk enters it.
    n.entered = true;
    a.textCursor = std::min(a.textCursor, n.order + 1);
    a.extentCursor = std::min(a.extentCursor, n.order + 1);
    readAhead(a, n.order, true);
    readAhead(a, n.order, false);
  }
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
        discard(f);
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
    if (walking) describe(kids);
    n.kids = std::move(kids);
    n.kidsKnown = true;
  }
  std::vector<Element> out;
  out.reserve(n.kids.size());
  for (const auto& k : n.kids) out.push_back(Element(k));
  return out;
}

std::optional<int> BulkTree::role(const Element& e) {
  Node* n = get(e);
  if (!n) return std::nullopt;
  if (n->item) return static_cast<int>(n->role);
  Reply r(block(*n->app, message(*n, kAccessible, "GetRole")));
  DBusMessageIter it;
  if (!firstArg(r.m, DBUS_TYPE_UINT32, &it, false)) return std::nullopt;
  dbus_uint32_t role = 0;
  dbus_message_iter_get_basic(&it, &role);
  return static_cast<int>(role);
}

std::optional<TreeReader::States> BulkTree::states(const Element& e) {
  Node* n = get(e);
  States s = 0;
  if (!n || !readStates(*n, s)) return std::nullopt;
  return s;
}

std::optional<std::string> BulkTree::text(const Element& e) {
  Node* n = get(e);
  std::uint32_t ifaces = 0;
  if (!n || !interfaces(*n, ifaces) || !(ifaces & kTextIface)) return std::nullopt;
  if (!n->text.call && !n->text.done) startText(*n);
  prefetch(*n, true);
  DBusMessageIter it;
  if (!firstArg(wait(n->text), DBUS_TYPE_STRING, &it, false)) return std::nullopt;
  return stringAt(&it);
}

std::optional<bool> BulkTree::hasInterface(const Element& e, Interface which) {
  Node* n = get(e);
  std::uint32_t all = 0;
  if (!n || !interfaces(*n, all)) return std::nullopt;
  return (all & which) != 0;
}

std::optional<double> BulkTree::valueProperty(const Element& e, const char* property) {
  Node* n = get(e);
  std::uint32_t ifaces = 0;
  if (!n || !interfaces(*n, ifaces) || !(ifaces & kValueIface)) return std::nullopt;
  Reply r(this->property(*n, "org.a11y.atspi.Value", property));
  DBusMessageIter it;
  if (!firstArg(r.m, DBUS_TYPE_DOUBLE, &it, true)) return std::nullopt;
  double v = 0;
  dbus_message_iter_get_basic(&it, &v);
  return v;
}

bool BulkTree::setCurrentValue(const Element& e, double value) {
  Node* n = get(e);
  std::uint32_t ifaces = 0;
  if (!n || !interfaces(*n, ifaces) || !(ifaces & kValueIface)) return false;
  DBusMessage* m = message(*n, "org.freedesktop.DBus.Properties", "Set");
  if (!m) return false;
  const char* iface = "org.a11y.atspi.Value";
  const char* name = "CurrentValue";
  DBusMessageIter args, variant;
  dbus_message_iter_init_append(m, &args);
  bool built = dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &iface) &&
               dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &name);
  if (built && dbus_message_iter_open_container(&args, DBUS_TYPE_VARIANT, "d", &variant)) {
    built = dbus_message_iter_append_basic(&variant, DBUS_TYPE_DOUBLE, &value);
    built = dbus_message_iter_close_container(&args, &variant) && built;
  } else {
    built = false;
  }
  if (!built) {
    dbus_message_unref(m);
    return false;
  }
  // A method return is success; block() hands back nothing for an error.
  Reply r(block(*n->app, m));
  return r.m != nullptr;
}

std::optional<std::string> BulkTree::textProperty(const Element& e, const char* name) {
  Node* n = get(e);
  if (!n) return std::nullopt;
  if (n->item) return std::string_view(name) == "Name" ? n->name : n->description;
  Reply r(property(*n, kAccessible, name));
  DBusMessageIter it;
  if (!firstArg(r.m, DBUS_TYPE_STRING, &it, true)) return std::nullopt;
  return stringAt(&it);
}

std::optional<std::string> BulkTree::name(const Element& e) {
  return textProperty(e, "Name");
}

std::optional<std::string> BulkTree::description(const Element& e) {
  return textProperty(e, "Description");
}

std::optional<Value> BulkTree::placeholder(const Element& e) {
  Node* n = get(e);
  if (!n) return std::nullopt;
  Reply r(block(*n->app, message(*n, kAccessible, "GetAttributes")));
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

std::optional<Extents> BulkTree::extents(const Element& e, bool window) {
  Node* n = get(e);
  std::uint32_t ifaces = 0;
  if (!n || !interfaces(*n, ifaces) || !(ifaces & kComponentIface)) return std::nullopt;
  // A read sent ahead in the other coordinates is not this one.
  if ((n->extents.call || n->extents.done) && n->windowExtents != window) discard(n->extents);
  if (!n->extents.call && !n->extents.done) startExtents(*n, window);
  prefetch(*n, false);
  return parseExtents(wait(n->extents));
}

std::optional<Element> BulkTree::centreHit(const Element& e) {
  Node* n = get(e);
  if (!n || !n->stack || n->order == kNone) return TreeReader::centreHit(e);
  // Each hit test waits for its frame, and a walk meets many stacks (one in
  // each row of a list): the stacks it meets next are asked along with it,
  // in two rounds instead of two for each. Those inside a stack's pages wait
  // until the walk knows which page it enters.
  App& a = *n->app;
  std::vector<Node*> batch{n};
  for (std::size_t p = n->end; p < a.order.size() && batch.size() < kStackLookahead; ++p) {
    Node* s = a.order[p];
    if (!s->stack) continue;
    if (!s->hit.call && !s->hit.done) batch.push_back(s);
    p = std::max(p, s->end - 1);
  }
  for (Node* s : batch) {
    if ((s->extents.call || s->extents.done) && !s->windowExtents) discard(s->extents);
    if (!s->extents.call && !s->extents.done) startExtents(*s, true);
  }
  for (Node* s : batch) {
    if (s->hit.call || s->hit.done) continue;
    std::optional<Extents> x = parseExtents(wait(s->extents));
    std::optional<Pixel> c = x ? centreOf(*x) : std::nullopt;
    start(*s, s->hit, c ? hitRequest(*s, c->x, c->y, true) : nullptr);
  }
  return hitAnswer(a, wait(n->hit));
}

std::optional<Extents> BulkTree::rangeExtents(const Element& e, std::int32_t from, std::int32_t to,
                                              bool window) {
  Node* n = get(e);
  if (!n) return std::nullopt;
  DBusMessage* m = message(*n, "org.a11y.atspi.Text", "GetRangeExtents");
  dbus_uint32_t coords = coordType(window);
  if (m)
    dbus_message_append_args(m, DBUS_TYPE_INT32, &from, DBUS_TYPE_INT32, &to, DBUS_TYPE_UINT32,
                             &coords, DBUS_TYPE_INVALID);
  Reply r(block(*n->app, m));
  return parseExtents(r.m);
}

const std::string& BulkTree::applicationProperty(App& a, std::optional<std::string>& slot,
                                                 const char* name) {
  if (!slot) {
    Node& root = *node(a, kRootPath);
    Reply r(property(root, "org.a11y.atspi.Application", name));
    DBusMessageIter it;
    slot = firstArg(r.m, DBUS_TYPE_STRING, &it, true) ? stringAt(&it) : std::string();
  }
  return *slot;
}

std::optional<AppFacts> BulkTree::app(const Element& e) {
  Node* n = get(e);
  if (!n) return std::nullopt;
  App& a = *n->app;
  AppFacts f;
  f.key = &a;
  if (auto pid = pids_.find(a.busName); pid != pids_.end()) f.pid = pid->second;
  f.toolkit = applicationProperty(a, a.toolkit, "ToolkitName");
  // Only GTK's version matters (GTK 4 places elements in its window).
  if (f.toolkit == "GTK") f.version = applicationProperty(a, a.version, "Version");
  return f;
}

bool BulkTree::relative(App& a) {
  if (a.relative < 0) a.relative = windowRelative(Element(node(a, kRootPath)));
  return a.relative == 1;
}

bool BulkTree::placed(App& a, States s) {
  // As TreeReader decides it, for the reads sent ahead.
  return onScreen(s, relative(a));
}

std::optional<Extents> BulkTree::parseExtents(DBusMessage* r) {
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
  return knownExtents(v[0], v[1], v[2], v[3]);
}

std::optional<Value> BulkTree::parent(const Element& e) {
  Node* n = get(e);
  if (!n) return std::nullopt;
  // The snapshot already says it, as fresh as everything else read now.
  if (n->item && !n->parentPath.empty())
    return Value::ofElement(Element(node(*n->app, n->parentPath)));
  Reply r(property(*n, kAccessible, "Parent"));
  DBusMessageIter it;
  std::string bus, path;
  if (!firstArg(r.m, DBUS_TYPE_STRUCT, &it, true) || !refAt(&it, bus, path)) return std::nullopt;
  if (path == kNullPath) return Value::absent();
  return Value::ofElement(element(bus, path));
}

std::optional<Element> BulkTree::hit(const Element& e, std::int32_t x, std::int32_t y,
                                     bool window) {
  Node* n = get(e);
  std::uint32_t ifaces = 0;
  if (!n || !interfaces(*n, ifaces) || !(ifaces & kComponentIface)) return std::nullopt;
  DBusMessage* m = hitRequest(*n, x, y, window);
  if (!m) return std::nullopt;
  Reply r(block(*n->app, m));
  return hitAnswer(*n->app, r.m);
}

DBusMessage* BulkTree::hitRequest(const Node& n, std::int32_t x, std::int32_t y, bool window) {
  DBusMessage* m = message(n, "org.a11y.atspi.Component", "GetAccessibleAtPoint");
  dbus_uint32_t coords = coordType(window);
  if (m)
    dbus_message_append_args(m, DBUS_TYPE_INT32, &x, DBUS_TYPE_INT32, &y, DBUS_TYPE_UINT32, &coords,
                             DBUS_TYPE_INVALID);
  return m;
}

std::optional<Element> BulkTree::hitAnswer(App& a, DBusMessage* reply) {
  DBusMessageIter it;
  std::string bus, path;
  if (!firstArg(reply, DBUS_TYPE_STRUCT, &it, false) || !refAt(&it, bus, path)) return std::nullopt;
  if (path == kNullPath) return std::nullopt;
  return Element(node(bus == a.busName ? a : *app(bus), path));
}

bool BulkTree::focus(const Element& e) {
  Node* n = get(e);
  std::uint32_t ifaces = 0;
  if (!n || !interfaces(*n, ifaces) || !(ifaces & kComponentIface)) return false;
  Reply r(block(*n->app, message(*n, "org.a11y.atspi.Component", "GrabFocus")));
  DBusMessageIter it;
  if (!firstArg(r.m, DBUS_TYPE_BOOLEAN, &it, false)) return false;
  dbus_bool_t ok = FALSE;
  dbus_message_iter_get_basic(&it, &ok);
  return ok;
}

std::optional<std::vector<std::string>> BulkTree::actionNames(const Element& e) {
  Node* n = get(e);
  if (!n) return std::nullopt;
  std::uint32_t ifaces = 0;
  std::vector<std::string> out;
  if (!interfaces(*n, ifaces) || !(ifaces & kActionIface)) return out;
  Reply count(property(*n, kActionInterface, "NActions"));
  DBusMessageIter it;
  if (!firstArg(count.m, DBUS_TYPE_INT32, &it, true)) return std::nullopt;
  dbus_int32_t c = 0;
  dbus_message_iter_get_basic(&it, &c);
  for (dbus_int32_t i = 0; i < c; ++i) {
    DBusMessage* m = message(*n, kActionInterface, "GetName");
    if (m) dbus_message_append_args(m, DBUS_TYPE_INT32, &i, DBUS_TYPE_INVALID);
    Reply r(block(*n->app, m));
    if (!firstArg(r.m, DBUS_TYPE_STRING, &it, false)) return std::nullopt;
    out.push_back(stringAt(&it));
  }
  return out;
}

bool BulkTree::doAction(const Element& e, std::int32_t index) {
  Node* n = get(e);
  if (!n) return false;
  DBusMessage* d = message(*n, kActionInterface, "DoAction");
  if (d) dbus_message_append_args(d, DBUS_TYPE_INT32, &index, DBUS_TYPE_INVALID);
  Reply done(block(*n->app, d));
  DBusMessageIter it;
  if (!firstArg(done.m, DBUS_TYPE_BOOLEAN, &it, false)) return false;
  dbus_bool_t ok = FALSE;
  dbus_message_iter_get_basic(&it, &ok);
  return ok;
}

}  // namespace ombru::ax::desktop
