#include "tree_atspi.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bulk_atspi.hpp"
#include "constants.hpp"
#include "glib_atspi.hpp"

namespace ombru::ax::desktop {

AtspiTree::AtspiTree(std::function<std::optional<std::string>()> rootBusAddress,
                     TreeReader::OriginOf originOf)
    : rootBusAddress_(std::move(rootBusAddress)), originOf_(std::move(originOf)) {
  const char* walk = std::getenv("OMBRU_AX_WALK");
  serial_ = walk && std::strcmp(walk, "serial") == 0;
}

void AtspiTree::invalidate() {
  if (reader_) reader_->invalidate();
}

AtspiTree::~AtspiTree() {
  release();
}

void AtspiTree::release() {
  // For measuring: how many calls the bulk walk made.
  if (bulk_ && std::getenv("OMBRU_AX_COUNT_CALLS"))
    std::fprintf(stderr, "ombru-ax: %llu D-Bus calls\n",
                 static_cast<unsigned long long>(bulk_->calls()));
  apps_.clear();
  if (reader_) reader_->release();
  reader_.reset();
  bulk_ = nullptr;
  if (session_) {
    g_object_unref(session_);
    session_ = nullptr;
  }
}

bool AtspiTree::writeBool(const Element& element, std::string_view attribute, bool value) {
  invalidate();
  // Both flags stand for the one desktop-wide switch that makes toolkits
  // build and expose their trees.
  if (attribute == attr::kManualAccessibility || attribute == attr::kEnhancedUserInterface) {
    if (!connect()) return false;
    return setEnabled(value);
  }
  if (attribute == attr::kFocused && reader_) return value && reader_->grabFocus(element);
  return false;
}

bool AtspiTree::writeNumber(const Element& element, std::string_view attribute, double value) {
  invalidate();
  return reader_ && attribute == attr::kValue && reader_->setNumber(element, value);
}

std::optional<Value> AtspiTree::read(const Element& element, std::string_view attribute) {
  if (!reader_) return std::nullopt;
  return reader_->read(element, attribute);
}

std::optional<std::vector<std::string>> AtspiTree::actions(const Element& element) {
  if (!reader_) return std::nullopt;
  return reader_->actions(element);
}

std::optional<Element> AtspiTree::atPoint(const Element& element, Point at) {
  if (!reader_) return std::nullopt;
  return reader_->atPoint(element, at);
}

bool AtspiTree::perform(const Element& element, std::string_view wanted) {
  invalidate();
  if (!reader_) return false;
  return reader_->perform(element, wanted);
}

}  // namespace ombru::ax::desktop
