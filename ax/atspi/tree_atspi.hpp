// The target's accessibility tree through AT-SPI2: running applications,
// attribute reads in the names the core asks for (through one of the two
// readers), the wake flag, focus and actions. The bus and the application
// list are in bus_atspi.cpp, the accessibility switch in switch_atspi.cpp,
// the check that a browser has settled in settle_atspi.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "desktop_entries.hpp"
#include "platform.hpp"
#include "reader_atspi.hpp"
#include "roles_atspi.hpp"

typedef struct _GDBusConnection GDBusConnection;

namespace ombru::ax::desktop {

class BulkTree;

class AtspiTree {
 public:
  // `rootBusAddress` reads the AT_SPI_BUS property of the X root window, if
  // there is a display; it is only asked when nothing else names the bus.
  // The tree is read in bulk (BulkTree) unless OMBRU_AX_WALK is "serial":
  // then every attribute is one blocking libatspi call, the reference the
  // bulk walk is tested against.
  // `originOf` gives the screen position of a process's one window (for
  // toolkits that place elements relative to their window).
  explicit AtspiTree(std::function<std::optional<std::string>()> rootBusAddress,
                     TreeReader::OriginOf originOf = {});
  ~AtspiTree();
  AtspiTree(const AtspiTree&) = delete;
  AtspiTree& operator=(const AtspiTree&) = delete;

  // Applications registered on the accessibility bus, in the registry's
  // order; empty when there is no accessibility bus at all.
  std::vector<RunningApp> applications();
  // The AT-SPI name of the application with this pid, if one is listed.
  std::optional<std::string> nameOfProcess(std::int64_t pid);
  Element applicationElement(std::int64_t pid);

  std::optional<Value> read(const Element& element, std::string_view attribute);
  bool writeBool(const Element& element, std::string_view attribute, bool value);
  bool writeNumber(const Element& element, std::string_view attribute, double value);
  std::optional<std::vector<std::string>> actions(const Element& element);
  bool perform(const Element& element, std::string_view action);
  std::optional<Element> atPoint(const Element& element, Point at);
  // True while a browser that has just joined is still building its page:
  // no web area yet, one still loading or without a place, or text whose
  // place it has not sent yet (Firefox sends places only once asked).
  bool settling(const Element& application);

  // Forgets every value read ahead: called on every action, input event and
  // pause, so nothing read before one is answered after it.
  void invalidate();
  // Releases every handle held (before the process ends).
  void release();

 private:
  bool connect();
  void loadApplications();
  bool setEnabled(bool value);

  std::function<std::optional<std::string>()> rootBusAddress_;
  TreeReader::OriginOf originOf_;
  bool serial_ = false;
  std::unique_ptr<TreeReader> reader_;
  BulkTree* bulk_ = nullptr;  // reader_, when it reads in bulk
  bool tried_ = false;
  bool connected_ = false;
  bool loaded_ = false;
  bool switchedOn_ = false;
  GDBusConnection* session_ = nullptr;
  std::vector<ListedApp> apps_;
  // The desktop's application entries, read once a run.
  std::vector<DesktopEntry> entries_;
};

}  // namespace ombru::ax::desktop
