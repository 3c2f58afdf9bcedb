// The target's tree read one attribute per blocking libatspi call: the
// reference the bulk reader is tested against (OMBRU_AX_WALK=serial).
#pragma once

#include <map>
#include <optional>
#include <utility>

#include "reader_atspi.hpp"

typedef struct _AtspiAccessible AtspiAccessible;

namespace ombru::ax::desktop {

class SerialTree final : public TreeReader {
 public:
  std::vector<ListedApp> applications() override;

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
  std::optional<AppFacts> app(const Element& e) override;
  bool focus(const Element& e) override;
  std::optional<std::vector<std::string>> actionNames(const Element& e) override;
  bool doAction(const Element& e, std::int32_t index) override;
  std::optional<Element> hit(const Element& e, std::int32_t x, std::int32_t y,
                             bool window) override;
  void forget() override {}
  void drop() override { apps_.clear(); }

 private:
  // Applications met so far, each held with what is known of it.
  std::map<const void*, std::pair<Element, AppFacts>> apps_;
};

// The element of a libatspi object; takes one new reference.
Element wrap(AtspiAccessible* accessible);

}  // namespace ombru::ax::desktop
