#include "serial_atspi.hpp"

#include <atspi/atspi.h>

#include "glib_atspi.hpp"

namespace ombru::ax::desktop {
namespace {

std::string takeString(gchar* s) {
  std::string out = s ? s : "";
  g_free(s);
  return out;
}

// A string libatspi handed over, or nothing when the call failed.
std::optional<std::string> takeUnlessFailed(gchar* s, const Err& err) {
  if (err) {
    g_free(s);
    return std::nullopt;
  }
  return takeString(s);
}

AtspiAccessible* raw(const Element& e) {
  return e.as<AtspiAccessible>();
}

}  // namespace

Element wrap(AtspiAccessible* accessible) {
  if (!accessible) return Element();
  // libatspi keeps one object per node, so the pointer is the identity.
  return Element(std::shared_ptr<void>(accessible, [](void* p) { g_object_unref(p); }));
}

std::vector<ListedApp> SerialTree::applications() {
  std::vector<ListedApp> out;
  Ref<AtspiAccessible> desktop(atspi_get_desktop(0));
  if (!desktop) return out;
  Err err;
  int n = atspi_accessible_get_child_count(desktop.p, &err);
  if (err) return out;
  for (int i = 0; i < n; ++i) {
    Err childErr;
    AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop.p, i, &childErr);
    if (!app) continue;
    Err nameErr, pidErr;
    std::string name = takeString(atspi_accessible_get_name(app, &nameErr));
    guint pid = atspi_accessible_get_process_id(app, &pidErr);
    if (pidErr) pid = 0;
    out.push_back(ListedApp{name, static_cast<std::int64_t>(pid), wrap(app)});
  }
  return out;
}

std::optional<std::vector<Element>> SerialTree::children(const Element& e, bool) {
  AtspiAccessible* a = raw(e);
  if (!a) return std::nullopt;
  Err err;
  int n = atspi_accessible_get_child_count(a, &err);
  if (err || n < 0) return std::nullopt;
  std::vector<Element> out;
  out.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    Err childErr;
    AtspiAccessible* child = atspi_accessible_get_child_at_index(a, i, &childErr);
    // A failed child means the target stopped answering: give up at once
    // rather than wait out every remaining child.
    if (childErr) {
      if (child) g_object_unref(child);
      return std::nullopt;
    }
    if (child) out.push_back(wrap(child));
  }
  return out;
}

std::optional<int> SerialTree::role(const Element& e) {
  AtspiAccessible* a = raw(e);
  if (!a) return std::nullopt;
  Err err;
  AtspiRole r = atspi_accessible_get_role(a, &err);
  if (err) return std::nullopt;
  return static_cast<int>(r);
}

std::optional<TreeReader::States> SerialTree::states(const Element& e) {
  AtspiAccessible* a = raw(e);
  // atspi_accessible_get_state_set reports no error; a target that does not
  // answer gives an empty set.
  AtspiStateSet* set = a ? atspi_accessible_get_state_set(a) : nullptr;
  if (!set) return std::nullopt;
  States out = 0;
  GArray* all = atspi_state_set_get_states(set);
  for (guint i = 0; all && i < all->len; ++i) {
    const int s = static_cast<int>(g_array_index(all, AtspiStateType, i));
    out |= stateBit(s);
  }
  if (all) g_array_free(all, TRUE);
  g_object_unref(set);
  return out;
}

std::optional<bool> SerialTree::hasInterface(const Element& e, Interface which) {
  AtspiAccessible* a = raw(e);
  if (!a) return std::nullopt;
  switch (which) {
    case kTextIface:
      return Ref<AtspiText>(atspi_accessible_get_text_iface(a)).p != nullptr;
    case kValueIface:
      return Ref<AtspiValue>(atspi_accessible_get_value_iface(a)).p != nullptr;
    case kComponentIface:
      return Ref<AtspiComponent>(atspi_accessible_get_component_iface(a)).p != nullptr;
    case kActionIface:
      return Ref<AtspiAction>(atspi_accessible_get_action_iface(a)).p != nullptr;
  }
  return false;
}

std::optional<std::string> SerialTree::text(const Element& e) {
  AtspiAccessible* a = raw(e);
  if (!a) return std::nullopt;
  Ref<AtspiText> text(atspi_accessible_get_text_iface(a));
  if (!text) return std::nullopt;
  Err err;
  gchar* s = atspi_text_get_text(text.p, 0, -1, &err);
  return takeUnlessFailed(s, err);
}

std::optional<std::string> SerialTree::name(const Element& e) {
  AtspiAccessible* a = raw(e);
  if (!a) return std::nullopt;
  Err err;
  gchar* s = atspi_accessible_get_name(a, &err);
  return takeUnlessFailed(s, err);
}

std::optional<std::string> SerialTree::description(const Element& e) {
  AtspiAccessible* a = raw(e);
  if (!a) return std::nullopt;
  Err err;
  gchar* s = atspi_accessible_get_description(a, &err);
  return takeUnlessFailed(s, err);
}

std::optional<double> SerialTree::valueProperty(const Element& e, const char* property) {
  AtspiAccessible* a = raw(e);
  if (!a) return std::nullopt;
  Ref<AtspiValue> value(atspi_accessible_get_value_iface(a));
  if (!value) return std::nullopt;
  const std::string_view p(property);
  Err err;
  const double v = p == "CurrentValue"   ? atspi_value_get_current_value(value.p, &err)
                   : p == "MinimumValue" ? atspi_value_get_minimum_value(value.p, &err)
                   : p == "MaximumValue" ? atspi_value_get_maximum_value(value.p, &err)
                                         : atspi_value_get_minimum_increment(value.p, &err);
  if (err) return std::nullopt;
  return v;
}

bool SerialTree::setCurrentValue(const Element& e, double v) {
  AtspiAccessible* a = raw(e);
  if (!a) return false;
  Ref<AtspiValue> value(atspi_accessible_get_value_iface(a));
  if (!value) return false;
  Err err;
  gboolean ok = atspi_value_set_current_value(value.p, v, &err);
  return ok && !err;
}

std::optional<Value> SerialTree::placeholder(const Element& e) {
  AtspiAccessible* a = raw(e);
  if (!a) return std::nullopt;
  Err err;
  GHashTable* attrs = atspi_accessible_get_attributes(a, &err);
  if (!attrs) return std::nullopt;
  auto* found = static_cast<const char*>(g_hash_table_lookup(attrs, "placeholder-text"));
  std::optional<Value> out;
  if (found) out = Value::ofText(found);
  g_hash_table_unref(attrs);
  return out;
}

namespace {

std::optional<Extents> takeRect(AtspiRect* r, bool failed) {
  std::optional<Extents> out;
  if (r && !failed) out = TreeReader::knownExtents(r->x, r->y, r->width, r->height);
  g_free(r);
  return out;
}

AtspiCoordType coords(bool window) {
  return static_cast<AtspiCoordType>(TreeReader::coordType(window));
}

}  // namespace

std::optional<Extents> SerialTree::extents(const Element& e, bool window) {
  AtspiAccessible* a = raw(e);
  if (!a) return std::nullopt;
  Ref<AtspiComponent> component(atspi_accessible_get_component_iface(a));
  if (!component) return std::nullopt;
  Err err;
  AtspiRect* r = atspi_component_get_extents(component.p, coords(window), &err);
  return takeRect(r, bool(err));
}

std::optional<Extents> SerialTree::rangeExtents(const Element& e, std::int32_t from,
                                                std::int32_t to, bool window) {
  AtspiAccessible* a = raw(e);
  if (!a) return std::nullopt;
  Ref<AtspiText> text(atspi_accessible_get_text_iface(a));
  if (!text) return std::nullopt;
  Err err;
  AtspiRect* r = atspi_text_get_range_extents(text.p, from, to, coords(window), &err);
  return takeRect(r, bool(err));
}

std::optional<Value> SerialTree::parent(const Element& e) {
  AtspiAccessible* a = raw(e);
  if (!a) return std::nullopt;
  Err err;
  AtspiAccessible* parent = atspi_accessible_get_parent(a, &err);
  if (err) {
    if (parent) g_object_unref(parent);
    return std::nullopt;
  }
  if (!parent) return Value::absent();
  return Value::ofElement(wrap(parent));
}

std::optional<AppFacts> SerialTree::app(const Element& e) {
  AtspiAccessible* a = raw(e);
  if (!a || !a->parent.app) return std::nullopt;
  // libatspi knows each element's application without asking the target;
  // it is asked about only once.
  const void* key = a->parent.app;
  auto known = apps_.find(key);
  if (known != apps_.end()) return known->second.second;
  Err err;
  AtspiAccessible* root = atspi_accessible_get_application(a, &err);
  if (err || !root) {
    if (root) g_object_unref(root);
    return std::nullopt;
  }
  AppFacts f;
  f.key = key;
  Err pidErr, nameErr, versionErr;
  guint pid = atspi_accessible_get_process_id(root, &pidErr);
  if (!pidErr) f.pid = pid;
  gchar* toolkit = atspi_accessible_get_toolkit_name(root, &nameErr);
  if (!nameErr)
    f.toolkit = takeString(toolkit);
  else
    g_free(toolkit);
  gchar* version = atspi_accessible_get_toolkit_version(root, &versionErr);
  if (!versionErr)
    f.version = takeString(version);
  else
    g_free(version);
  // Held, so the key stays this application's while it is known.
  apps_.emplace(key, std::make_pair(wrap(root), f));
  return f;
}

bool SerialTree::focus(const Element& e) {
  AtspiAccessible* a = raw(e);
  if (!a) return false;
  Ref<AtspiComponent> component(atspi_accessible_get_component_iface(a));
  if (!component) return false;
  Err err;
  gboolean ok = atspi_component_grab_focus(component.p, &err);
  return ok && !err;
}

std::optional<std::vector<std::string>> SerialTree::actionNames(const Element& e) {
  AtspiAccessible* a = raw(e);
  if (!a) return std::nullopt;
  Ref<AtspiAction> action(atspi_accessible_get_action_iface(a));
  std::vector<std::string> out;
  if (!action) return out;
  Err err;
  int n = atspi_action_get_n_actions(action.p, &err);
  if (err) return std::nullopt;
  for (int i = 0; i < n; ++i) {
    Err nameErr;
    gchar* s = atspi_action_get_action_name(action.p, i, &nameErr);
    if (nameErr) {
      g_free(s);
      return std::nullopt;
    }
    out.push_back(takeString(s));
  }
  return out;
}

bool SerialTree::doAction(const Element& e, std::int32_t index) {
  AtspiAccessible* a = raw(e);
  if (!a) return false;
  Ref<AtspiAction> action(atspi_accessible_get_action_iface(a));
  if (!action) return false;
  Err err;
  gboolean ok = atspi_action_do_action(action.p, index, &err);
  return ok && !err;
}

std::optional<Element> SerialTree::hit(const Element& e, std::int32_t x, std::int32_t y,
                                       bool window) {
  AtspiAccessible* a = raw(e);
  if (!a) return std::nullopt;
  Ref<AtspiComponent> component(atspi_accessible_get_component_iface(a));
  if (!component) return std::nullopt;
  Err err;
  AtspiAccessible* found =
      atspi_component_get_accessible_at_point(component.p, x, y, coords(window), &err);
  if (err || !found) {
    if (found) g_object_unref(found);
    return std::nullopt;
  }
  return wrap(found);
}

}  // namespace ombru::ax::desktop
