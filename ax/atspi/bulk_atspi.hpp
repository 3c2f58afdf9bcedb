// The target's tree read in bulk over D-Bus: one Cache.GetItems call gives
// every element's children, role, states, name and description at once, and
// the text and extents reads the walk will make next are sent ahead, many in
// flight on the application's own connection, instead of one blocking round
// trip after another. Values are the same as AtspiTree's one-by-one reads;
// nothing read survives invalidate(), which the platform calls on every
// action, input event and pause.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform.hpp"
#include "reader_atspi.hpp"

typedef struct DBusConnection DBusConnection;
typedef struct DBusPendingCall DBusPendingCall;
typedef struct DBusMessage DBusMessage;

namespace ombru::ax::desktop {

class BulkTree final : public TreeReader {
 public:
  // `a11yBus`: the accessibility bus address.
  // `originOf`: the screen position of a process's one window, for toolkits
  // that place their elements relative to their window.
  explicit BulkTree(std::string a11yBus,
                    std::function<std::optional<Point>(std::int64_t pid)> originOf = {});
  ~BulkTree() override;
  BulkTree(const BulkTree&) = delete;
  BulkTree& operator=(const BulkTree&) = delete;

  // The applications registered on the bus, in the registry's order.
  std::vector<ListedApp> applications() override;
  Element element(const std::string& busName, const std::string& path);

  std::optional<Value> read(const Element& element, std::string_view attribute) override;
  bool grabFocus(const Element& element) override;
  std::optional<Element> atPoint(const Element& element, Point at) override;
  std::string toolkit(const Element& application) override;
  bool busy(const Element& element) override;
  std::optional<std::vector<std::string>> actions(const Element& element) override;
  bool perform(const Element& element, std::string_view action) override;

  // Drops every value read and every read in flight.
  void invalidate() override;
  void release() override;
  // D-Bus calls sent so far.
  std::uint64_t calls() const { return calls_; }

  struct App;
  struct Node;

 private:
  // A reply still to come, or come; one per kind of read per node.
  struct Fetch {
    DBusPendingCall* call = nullptr;
    DBusMessage* reply = nullptr;  // null when done and failed
    bool done = false;
  };
  struct Extents {
    double x = 0, y = 0, width = 0, height = 0;
  };

  bool openBus();
  App* app(const std::string& busName);
  std::shared_ptr<Node> node(App& app, const std::string& path);
  Node* get(const Element& e);
  void fresh(Node& n);

  DBusMessage* message(const Node& n, const char* iface, const char* method);
  DBusPendingCall* send(App& app, DBusMessage* m);
  DBusMessage* block(App& app, DBusMessage* m);
  void start(Node& n, Fetch& f, DBusMessage* m);
  DBusMessage* wait(Fetch& f);
  DBusMessage* property(Node& n, const char* iface, const char* name);
  // Calls `visit` with each action's index and name until it returns false;
  // false when a read fails.
  bool eachAction(Node& n, const std::function<bool(std::int32_t, std::string)>& visit);

  void snapshot(App& app);
  void prefetch(Node& n, bool text);
  void startText(Node& n);
  void startExtents(Node& n);

  bool interfaces(Node& n, std::uint32_t& out);
  bool states(Node& n, std::uint32_t out[2]);
  // `walking`: a read of the walks, which take the snapshot from the second
  // one of a generation on.
  std::optional<Value> children(Node& n, bool walking);
  std::optional<Value> windows(Node& n);
  std::optional<Value> roleOf(Node& n);
  std::optional<Value> value(Node& n);
  std::optional<Value> textProperty(Node& n, const char* name);
  std::optional<Value> placeholder(Node& n);
  std::optional<Extents> extents(Node& n);
  std::optional<Value> parent(Node& n);
  std::optional<Extents> parseExtents(DBusMessage* reply);
  const std::string& toolkitName(App& app);
  bool isGecko(App& app);
  // GTK 4 places elements relative to their window and marks none below it
  // as showing: the window's screen position, when it can be known.
  bool isGtk4(App& app);
  std::optional<Point> origin(App& app);
  bool placed(App& app, const std::uint32_t states[2]);
  void addRuns(Node& n);
  std::optional<Value> runRead(Node& n, std::string_view attribute);

  std::string a11yBus_;
  std::function<std::optional<Point>(std::int64_t)> originOf_;
  std::map<std::string, std::int64_t> pids_;  // by bus name, from applications()
  DBusConnection* bus_ = nullptr;
  bool busTried_ = false;
  std::map<std::string, std::unique_ptr<App>> apps_;
  unsigned generation_ = 1;
  std::vector<Node*> inFlight_;  // nodes with reads sent in this generation
  // Roles whose text or extents the walk has asked for: those are sent ahead.
  std::set<std::uint32_t> textRoles_, extentRoles_;
  std::uint64_t calls_ = 0;
};

}  // namespace ombru::ax::desktop
