// The target's tree read one attribute per blocking libatspi call: the
// reference the bulk reader is tested against (OMBRU_AX_WALK=serial).
#pragma once

#include <optional>

#include "reader_atspi.hpp"

typedef struct _AtspiAccessible AtspiAccessible;

namespace ombru::ax::desktop {

class SerialTree final : public TreeReader {
 public:
  std::vector<ListedApp> applications() override;
  std::optional<Value> read(const Element& element, std::string_view attribute) override;
  bool grabFocus(const Element& element) override;
  std::optional<std::vector<std::string>> actions(const Element& element) override;
  bool perform(const Element& element, std::string_view action) override;
  std::optional<Element> atPoint(const Element& element, Point at) override;
  std::string toolkit(const Element& application) override;
  bool busy(const Element& element) override;
  void invalidate() override { pending_.reset(); }
  void release() override { pending_.reset(); }

 private:
  struct Extents {
    const void* element = nullptr;
    double x = 0, y = 0, width = 0, height = 0;
  };
  std::optional<Extents> extents(AtspiAccessible* accessible);
  std::optional<Value> windows(AtspiAccessible* accessible);
  std::optional<Value> children(AtspiAccessible* accessible);

  // Position and size come from one extents call; the size read that
  // directly follows the position read of the same element takes the
  // other half, so a frame is one consistent snapshot for one round trip.
  std::optional<Extents> pending_;
};

}  // namespace ombru::ax::desktop
