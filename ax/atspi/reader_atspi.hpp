// The two ways of reading the target's tree behind one interface: in bulk
// (BulkTree, the default) and one blocking libatspi call per attribute
// (SerialTree, the reference the bulk reader is tested against). Both rank
// windows and list actions through the helpers here, so they answer alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform.hpp"

namespace ombru::ax::desktop {

// An application registered on the accessibility bus.
struct ListedApp {
  std::string name;  // empty when it cannot be read
  std::int64_t pid = 0;
  Element element;  // its root
};

class TreeReader {
 public:
  virtual ~TreeReader() = default;
  // In the registry's order.
  virtual std::vector<ListedApp> applications() = 0;
  // An attribute in the name the core asks for.
  virtual std::optional<Value> read(const Element& element, std::string_view attribute) = 0;
  virtual bool grabFocus(const Element& element) = 0;
  virtual std::optional<std::vector<std::string>> actions(const Element& element) = 0;
  virtual bool perform(const Element& element, std::string_view action) = 0;
  virtual std::optional<Element> atPoint(const Element& element, Point at) = 0;
  // The toolkit an application names itself by (its ToolkitName); empty
  // when it does not answer.
  virtual std::string toolkit(const Element& application) = 0;
  // True when the element says it is still loading.
  virtual bool busy(const Element& element) = 0;
  // Forgets every value read ahead.
  virtual void invalidate() = 0;
  virtual void release() = 0;
};

// A child of an application, as a reader found it.
struct TopLevel {
  Element element;
  int role = 0;  // AT-SPI role
  bool active = false;
  bool showing = false;
};
// The application's windows among its children: the active one first, then
// those on screen, then hidden ones, each group in the application's order.
// A window the toolkit keeps but does not show must never be taken for the
// front one.
Value rankWindows(const std::vector<TopLevel>& children);
// Adds an action's name (in the core's naming) unless it is there already.
void addAction(std::vector<std::string>& names, std::string name);

}  // namespace ombru::ax::desktop
