// The target's tree read in bulk over D-Bus: one Cache.GetItems call gives
// every element's children, role, states, name and description at once, and
// the text and extents reads the walk will make next are sent ahead, many in
// flight on the application's own connection, instead of one blocking round
// trip after another. Values are the same as SerialTree's one-by-one reads;
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
  explicit BulkTree(std::string a11yBus);
  ~BulkTree() override;
  BulkTree(const BulkTree&) = delete;
  BulkTree& operator=(const BulkTree&) = delete;

  // The applications registered on the bus, in the registry's order.
  std::vector<ListedApp> applications() override;
  Element element(const std::string& busName, const std::string& path);
  // D-Bus calls sent so far.
  std::uint64_t calls() const { return calls_; }

  struct App;
  struct Node;

 protected:
  std::optional<std::vector<Element>> children(const Element& e, bool walking) override;
  std::optional<int> role(const Element& e) override;
  std::optional<States> states(const Element& e) override;
  std::optional<bool> hasInterface(const Element& e, Interface which) override;
  std::optional<std::string> text(const Element& e) override;
  std::optional<std::string> name(const Element& e) override;
  std::optional<std::string> description(const Element& e) override;
  std::optional<Value> placeholder(const Element& e) override;
  std::optional<double> valueProperty(const Element& e, const char* property) override;
  bool setCurrentValue(const Element& e, double value) override;
  std::optional<Extents> extents(const Element& e, bool window) override;
  std::optional<Extents> rangeExtents(const Element& e, std::int32_t from, std::int32_t to,
                                      bool window) override;
  std::optional<Value> parent(const Element& e) override;
  std::optional<Element> centreHit(const Element& e) override;
  std::optional<AppFacts> app(const Element& e) override;
  bool focus(const Element& e) override;
  std::optional<std::vector<std::string>> actionNames(const Element& e) override;
  bool doAction(const Element& e, std::int32_t index) override;
  std::optional<Element> hit(const Element& e, std::int32_t x, std::int32_t y,
                             bool window) override;
  // Drops every value read and every read in flight.
  void forget() override;
  void drop() override;

 private:
  // A reply still to come, or come; one per kind of read per node.
  struct Fetch {
    DBusPendingCall* call = nullptr;
    DBusMessage* reply = nullptr;  // null when done and failed
    bool done = false;
  };

  // Drops a read: the call still in flight, or the reply come.
  static void discard(Fetch& f);
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
  const std::string& applicationProperty(App& app, std::optional<std::string>& slot,
                                         const char* name);

  void snapshot(App& app);
  void prefetch(Node& n, bool text);
  // Sends those reads for the elements the walk meets after `after`.
  void readAhead(App& app, std::size_t after, bool text);
  void startText(Node& n);
  void startExtents(Node& n, bool window);
  // What the snapshot would have said of each element of a child list read
  // one by one, asked of all of them at once.
  void describe(const std::vector<std::shared_ptr<Node>>& kids);

  bool interfaces(Node& n, std::uint32_t& out);
  bool readStates(Node& n, States& out);
  std::optional<std::string> textProperty(const Element& e, const char* name);
  std::optional<Extents> parseExtents(DBusMessage* reply);
  // A hit test at a pixel, and the element it answered, if any.
  DBusMessage* hitRequest(const Node& n, std::int32_t x, std::int32_t y, bool window);
  std::optional<Element> hitAnswer(App& app, DBusMessage* reply);
  // Places relative to the window, and elements that are visible count as
  // placed (GTK 4): asked once per application, for the reads sent ahead.
  bool relative(App& app);
  bool placed(App& app, States states);

  std::string a11yBus_;
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
