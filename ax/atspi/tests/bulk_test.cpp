// The bulk reader against a small application of our own on a private bus:
// whatever its GetItems lists (all, a part, stale places, a count it cannot
// give), the tree read is the one the element-by-element calls give, and a
// value read before invalidate() is read again after it.
#include <atspi/atspi-constants.h>
#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bulk_atspi.hpp"
#include "tree_atspi.hpp"

extern char** environ;

namespace {

using namespace ombru::ax;
using desktop::BulkTree;

struct FakeNode {
  std::uint32_t role = ATSPI_ROLE_PANEL;
  std::string name, text;
  std::vector<std::string> kids;
  bool showing = true;
  bool managesDescendants = false;
  int extents[4] = {0, 0, 10, 10};
};

// An application as AT-SPI shows it: a tree of objects, and what its
// GetItems lists, which may be wrong in the ways real toolkits are.
struct FakeApp {
  std::mutex m;
  std::map<std::string, FakeNode> nodes;
  bool cache = true;
  std::vector<std::string> unlisted;       // left out of GetItems
  std::map<std::string, int> listedIndex;  // a stale place in the parent
  std::map<std::string, int> listedCount;  // a count GetItems gives instead
  std::atomic<int> childAtIndexCalls{0};
  std::map<std::string, std::string> parents() {
    std::map<std::string, std::string> out;
    for (auto& [p, n] : nodes)
      for (auto& k : n.kids) out[k] = p;
    return out;
  }
};

const char* kApp = "/org/a11y/atspi/accessible/root";

void appendRef(DBusMessageIter* it, const char* bus, const std::string& path) {
  DBusMessageIter s;
  const char* p = path.c_str();
  dbus_message_iter_open_container(it, DBUS_TYPE_STRUCT, nullptr, &s);
  dbus_message_iter_append_basic(&s, DBUS_TYPE_STRING, &bus);
  dbus_message_iter_append_basic(&s, DBUS_TYPE_OBJECT_PATH, &p);
  dbus_message_iter_close_container(it, &s);
}

void appendStates(DBusMessageIter* it, const FakeNode& n) {
  DBusMessageIter a;
  dbus_uint32_t s[2] = {0, 0};
  if (n.showing) s[0] |= 1u << ATSPI_STATE_SHOWING;
  if (n.managesDescendants) s[0] |= 1u << ATSPI_STATE_MANAGES_DESCENDANTS;
  dbus_message_iter_open_container(it, DBUS_TYPE_ARRAY, "u", &a);
  for (auto v : s) dbus_message_iter_append_basic(&a, DBUS_TYPE_UINT32, &v);
  dbus_message_iter_close_container(it, &a);
}

void appendInterfaces(DBusMessageIter* it) {
  DBusMessageIter a;
  dbus_message_iter_open_container(it, DBUS_TYPE_ARRAY, "s", &a);
  for (const char* i :
       {"org.a11y.atspi.Accessible", "org.a11y.atspi.Text", "org.a11y.atspi.Component"})
    dbus_message_iter_append_basic(&a, DBUS_TYPE_STRING, &i);
  dbus_message_iter_close_container(it, &a);
}

template <class T>
void appendVariant(DBusMessageIter* it, int type, const char* sig, T value) {
  DBusMessageIter v;
  dbus_message_iter_open_container(it, DBUS_TYPE_VARIANT, sig, &v);
  dbus_message_iter_append_basic(&v, type, &value);
  dbus_message_iter_close_container(it, &v);
}

DBusHandlerResult answer(DBusConnection* c, DBusMessage* m, void* data) {
  if (dbus_message_get_type(m) != DBUS_MESSAGE_TYPE_METHOD_CALL)
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
  auto& app = *static_cast<FakeApp*>(data);
  std::lock_guard<std::mutex> lock(app.m);
  std::string iface = dbus_message_get_interface(m) ? dbus_message_get_interface(m) : "";
  std::string member = dbus_message_get_member(m);
  std::string path = dbus_message_get_path(m);
  const char* self = dbus_bus_get_unique_name(c);
  DBusMessage* r = dbus_message_new_method_return(m);
  DBusMessageIter it;
  dbus_message_iter_init_append(r, &it);
  auto node = app.nodes.find(path);
  bool ok = true;
  if (member == "GetApplicationBusAddress") {
    const char* none = "";
    dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &none);
  } else if (member == "GetItems" && app.cache) {
    auto parents = app.parents();
    DBusMessageIter list;
    dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "((so)(so)(so)iiassusau)", &list);
    for (auto& [p, n] : app.nodes) {
      if (std::find(app.unlisted.begin(), app.unlisted.end(), p) != app.unlisted.end()) continue;
      DBusMessageIter item;
      dbus_message_iter_open_container(&list, DBUS_TYPE_STRUCT, nullptr, &item);
      appendRef(&item, self, p);
      appendRef(&item, self, kApp);
      std::string parent = parents.count(p) ? parents[p] : "/org/a11y/atspi/null";
      appendRef(&item, self, parent);
      dbus_int32_t index = -1;
      if (parents.count(p)) {
        auto& sib = app.nodes[parent].kids;
        index = static_cast<int>(std::find(sib.begin(), sib.end(), p) - sib.begin());
      }
      if (app.listedIndex.count(p)) index = app.listedIndex[p];
      dbus_int32_t count = static_cast<int>(n.kids.size());
      if (app.listedCount.count(p)) count = app.listedCount[p];
      dbus_message_iter_append_basic(&item, DBUS_TYPE_INT32, &index);
      dbus_message_iter_append_basic(&item, DBUS_TYPE_INT32, &count);
      appendInterfaces(&item);
      const char* name = n.name.c_str();
      dbus_message_iter_append_basic(&item, DBUS_TYPE_STRING, &name);
      dbus_uint32_t role = n.role;
      dbus_message_iter_append_basic(&item, DBUS_TYPE_UINT32, &role);
      const char* description = "";
      dbus_message_iter_append_basic(&item, DBUS_TYPE_STRING, &description);
      appendStates(&item, n);
      dbus_message_iter_close_container(&list, &item);
    }
    dbus_message_iter_close_container(&it, &list);
  } else if (node == app.nodes.end()) {
    ok = false;
  } else if (member == "Get") {
    const char* in = nullptr;
    const char* prop = nullptr;
    dbus_message_get_args(m, nullptr, DBUS_TYPE_STRING, &in, DBUS_TYPE_STRING, &prop,
                          DBUS_TYPE_INVALID);
    std::string p = prop ? prop : "";
    if (p == "Name") {
      appendVariant(&it, DBUS_TYPE_STRING, "s", node->second.name.c_str());
    } else if (p == "Description") {
      appendVariant(&it, DBUS_TYPE_STRING, "s", "");
    } else if (p == "ChildCount") {
      appendVariant(&it, DBUS_TYPE_INT32, "i", static_cast<dbus_int32_t>(node->second.kids.size()));
    } else {
      ok = false;
    }
  } else if (member == "GetChildAtIndex") {
    ++app.childAtIndexCalls;
    dbus_int32_t i = -1;
    dbus_message_get_args(m, nullptr, DBUS_TYPE_INT32, &i, DBUS_TYPE_INVALID);
    auto& kids = node->second.kids;
    appendRef(&it, self,
              i >= 0 && i < int(kids.size()) ? kids[i] : std::string("/org/a11y/atspi/null"));
  } else if (member == "GetRole") {
    dbus_uint32_t role = node->second.role;
    dbus_message_iter_append_basic(&it, DBUS_TYPE_UINT32, &role);
  } else if (member == "GetState") {
    appendStates(&it, node->second);
  } else if (member == "GetInterfaces") {
    appendInterfaces(&it);
  } else if (member == "GetText") {
    const char* t = node->second.text.c_str();
    dbus_message_iter_append_basic(&it, DBUS_TYPE_STRING, &t);
  } else if (member == "GetExtents") {
    DBusMessageIter s;
    dbus_message_iter_open_container(&it, DBUS_TYPE_STRUCT, nullptr, &s);
    for (int v : node->second.extents) {
      dbus_int32_t x = v;
      dbus_message_iter_append_basic(&s, DBUS_TYPE_INT32, &x);
    }
    dbus_message_iter_close_container(&it, &s);
  } else {
    ok = false;
  }
  if (!ok) {
    dbus_message_unref(r);
    r = dbus_message_new_error(m, DBUS_ERROR_UNKNOWN_METHOD, "no such method here");
  }
  dbus_connection_send(c, r, nullptr);
  dbus_message_unref(r);
  return DBUS_HANDLER_RESULT_HANDLED;
}

class Bulk : public ::testing::Test {
 protected:
  static inline pid_t daemon = -1;
  static inline std::string address;
  static inline FakeApp app;
  static inline std::string busName;
  static inline std::atomic<bool> stop{false};
  static inline std::thread server;

  static void SetUpTestSuite() {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    char* argv[] = {const_cast<char*>("dbus-daemon"),       const_cast<char*>("--session"),
                    const_cast<char*>("--nofork"),          const_cast<char*>("--nopidfile"),
                    const_cast<char*>("--print-address=1"), nullptr};
    if (posix_spawnp(&daemon, "dbus-daemon", &fa, nullptr, argv, environ) != 0) daemon = -1;
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    char buf[512];
    ssize_t n = daemon > 0 ? read(out[0], buf, sizeof buf - 1) : -1;
    close(out[0]);
    if (n <= 0) return;
    address.assign(buf, static_cast<size_t>(n));
    while (!address.empty() && address.back() == '\n') address.pop_back();
    DBusConnection* c = dbus_connection_open_private(address.c_str(), nullptr);
    if (!c || !dbus_bus_register(c, nullptr)) return;
    busName = dbus_bus_get_unique_name(c);
    dbus_connection_add_filter(c, answer, &app, nullptr);
    server = std::thread([c] {
      while (!stop && dbus_connection_read_write_dispatch(c, 20)) {
      }
      dbus_connection_close(c);
      dbus_connection_unref(c);
    });
  }

  static void TearDownTestSuite() {
    stop = true;
    if (server.joinable()) server.join();
    if (daemon > 0) {
      kill(daemon, SIGTERM);
      waitpid(daemon, nullptr, 0);
    }
  }

  // root -> window -> (list -> 4 rows, each with a label), heading
  void SetUp() override {
    if (busName.empty()) GTEST_SKIP() << "no dbus-daemon to run the application on";
    std::lock_guard<std::mutex> lock(app.m);
    app.nodes.clear();
    app.cache = true;
    app.unlisted.clear();
    app.listedIndex.clear();
    app.listedCount.clear();
    auto& root = app.nodes[kApp];
    root.role = ATSPI_ROLE_APPLICATION;
    root.name = "fake";
    root.showing = false;
    root.kids = {"/w"};
    auto& w = app.nodes["/w"];
    w.role = ATSPI_ROLE_FRAME;
    w.name = "Window";
    w.kids = {"/list", "/heading"};
    auto& h = app.nodes["/heading"];
    h.role = ATSPI_ROLE_HEADING;
    h.text = "Today";
    auto& list = app.nodes["/list"];
    list.role = ATSPI_ROLE_LIST_BOX;
    for (int i = 0; i < 4; ++i) {
      std::string row = "/row" + std::to_string(i), label = "/label" + std::to_string(i);
      list.kids.push_back(row);
      app.nodes[row].role = ATSPI_ROLE_LIST_ITEM;
      app.nodes[row].kids = {label};
      auto& l = app.nodes[label];
      l.role = ATSPI_ROLE_LABEL;
      l.text = "row " + std::to_string(i);
      l.showing = i < 3;
      l.extents[1] = 20 * i;
    }
    app.childAtIndexCalls = 0;
  }

  // Every attribute a walk reads, pre-order, one line per element.
  static void dump(BulkTree& t, const Element& e, std::string& out, int depth = 0) {
    auto text = [&](const char* a) {
      auto v = t.read(e, a);
      return v && v->shape == Value::Shape::Text ? v->text : std::string("-");
    };
    out += std::string(depth, ' ') + text("AXRole") + " '" + text("AXTitle") + "' '" +
           text("AXValue") + "'";
    if (auto p = t.read(e, "AXPosition"); p && p->shape == Value::Shape::Point)
      out += " @" + std::to_string(int(p->point.x)) + "," + std::to_string(int(p->point.y));
    out += "\n";
    if (auto kids = t.read(e, "AXChildren"))
      for (const Element& k : kids->elements) dump(t, k, out, depth + 1);
  }

  static std::string walk() {
    BulkTree t(address);
    std::string out;
    dump(t, t.element(busName, kApp), out);
    return out;
  }
};

const char* kTruth =
    "AXApplication 'fake' ''\n"
    " AXWindow 'Window' '' @0,0\n"
    "  AXList '' '' @0,0\n"
    "   AXGroup '' '' @0,0\n"
    "    AXStaticText '' 'row 0' @0,0\n"
    "   AXGroup '' '' @0,0\n"
    "    AXStaticText '' 'row 1' @0,20\n"
    "   AXGroup '' '' @0,0\n"
    "    AXStaticText '' 'row 2' @0,40\n"
    "   AXGroup '' '' @0,0\n"
    "    AXStaticText '' 'row 3'\n"
    "  AXHeading '' 'Today' @0,0\n";

TEST_F(Bulk, CompleteSnapshotGivesTheTreeWithoutChildCalls) {
  EXPECT_EQ(walk(), kTruth);
  // Only the first child list, read before the snapshot is taken.
  EXPECT_EQ(app.childAtIndexCalls, 1);
}

TEST_F(Bulk, ChildListsTheSnapshotCannotGiveAreReadOneByOne) {
  struct Fault {
    const char* what;
    std::function<void()> make;
  };
  const std::vector<Fault> faults = {
      {"a child not listed yet", [] { app.unlisted = {"/row2"}; }},
      {"two children at one place", [] { app.listedIndex["/heading"] = 0; }},
      {"a child no longer in its place", [] { app.listedIndex["/label1"] = -1; }},
      {"more children than listed", [] { app.listedCount["/w"] = 3; }},
  };
  for (const Fault& f : faults) {
    SetUp();
    {
      std::lock_guard<std::mutex> lock(app.m);
      f.make();
    }
    EXPECT_EQ(walk(), kTruth) << f.what;
    EXPECT_GT(app.childAtIndexCalls, 1) << f.what;
  }
}

TEST_F(Bulk, AnElementThatMakesItsChildrenOnDemandIsAsked) {
  {
    // As GTK lists a list box: children managed on demand, count -1.
    std::lock_guard<std::mutex> lock(app.m);
    app.nodes["/list"].managesDescendants = true;
    app.listedCount["/list"] = -1;
  }
  EXPECT_EQ(walk(), kTruth);
}

TEST_F(Bulk, WithoutGetItemsEveryElementIsRead) {
  {
    std::lock_guard<std::mutex> lock(app.m);
    app.cache = false;
  }
  EXPECT_EQ(walk(), kTruth);
  EXPECT_EQ(app.childAtIndexCalls, 11);
}

TEST_F(Bulk, NothingReadSurvivesInvalidate) {
  BulkTree t(address);
  Element root = t.element(busName, kApp);
  std::string before;
  dump(t, root, before);
  ASSERT_EQ(before, kTruth);
  auto first = [&](const Element& e) { return t.read(e, "AXChildren")->elements.at(0); };
  Element label = first(first(first(first(root))));  // window, list, row 0, its label
  {
    std::lock_guard<std::mutex> lock(app.m);
    app.nodes["/label0"].text = "renamed";
    app.nodes["/label0"].extents[1] = 99;
    app.nodes["/row2"].kids.clear();
  }
  // Until the next action, the walk sees one consistent tree.
  EXPECT_EQ(t.read(label, "AXValue")->text, "row 0");
  t.invalidate();
  EXPECT_EQ(t.read(label, "AXValue")->text, "renamed");
  EXPECT_EQ(t.read(label, "AXPosition")->point.y, 99);
  std::string after;
  dump(t, root, after);
  EXPECT_NE(after.find("'renamed' @0,99\n"), std::string::npos) << after;
  EXPECT_EQ(after.find("'row 2'"), std::string::npos) << after;
  t.release();
}

}  // namespace
