#include "serial_atspi.hpp"

#include <atspi/atspi.h>

#include <climits>

#include "tree_atspi.hpp"

namespace ombru::ax::desktop {
namespace {

// One GError per call, cleared on every path.
struct Err {
  GError* e = nullptr;
  ~Err() { g_clear_error(&e); }
  GError** operator&() { return &e; }
  explicit operator bool() const { return e != nullptr; }
};

template <class T>
struct Ref {
  T* p = nullptr;
  explicit Ref(T* v) : p(v) {}
  ~Ref() {
    if (p) g_object_unref(p);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  explicit operator bool() const { return p != nullptr; }
};

std::string takeString(gchar* s) {
  std::string out = s ? s : "";
  g_free(s);
  return out;
}

AtspiAccessible* raw(const Element& e) {
  return e.as<AtspiAccessible>();
}

bool hasState(AtspiAccessible* a, AtspiStateType state, bool* ok) {
  // atspi_accessible_get_state_set reports no error; a target that does not
  // answer gives an empty set, which reads as "not showing" below.
  AtspiStateSet* set = atspi_accessible_get_state_set(a);
  if (!set) {
    if (ok) *ok = false;
    return false;
  }
  bool has = atspi_state_set_contains(set, state);
  g_object_unref(set);
  if (ok) *ok = true;
  return has;
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

std::optional<SerialTree::Extents> SerialTree::extents(AtspiAccessible* a) {
  // Only what is on screen has a frame: GTK answers INT_MIN for the rest and
  // Chromium answers the off-screen place, so the SHOWING state decides.
  if (!hasState(a, ATSPI_STATE_SHOWING, nullptr)) return std::nullopt;
  Ref<AtspiComponent> component(atspi_accessible_get_component_iface(a));
  if (!component) return std::nullopt;
  Err err;
  AtspiRect* r = atspi_component_get_extents(component.p, ATSPI_COORD_TYPE_SCREEN, &err);
  if (!r || err) {
    g_free(r);
    return std::nullopt;
  }
  Extents e{a, double(r->x), double(r->y), double(r->width), double(r->height)};
  bool unknown = r->x == INT_MIN || r->y == INT_MIN;
  g_free(r);
  if (unknown) return std::nullopt;
  return e;
}

std::optional<Value> SerialTree::children(AtspiAccessible* a) {
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
  return Value::ofElements(std::move(out));
}

std::optional<Value> SerialTree::windows(AtspiAccessible* a) {
  auto kids = children(a);
  if (!kids) return std::nullopt;
  std::vector<TopLevel> found;
  for (Element& child : kids->elements) {
    Err err;
    AtspiRole role = atspi_accessible_get_role(raw(child), &err);
    if (err) continue;
    TopLevel t{child, role};
    if (AtspiStateSet* set = atspi_accessible_get_state_set(raw(child))) {
      t.active = atspi_state_set_contains(set, ATSPI_STATE_ACTIVE);
      t.showing = atspi_state_set_contains(set, ATSPI_STATE_SHOWING);
      g_object_unref(set);
    }
    found.push_back(std::move(t));
  }
  return rankWindows(found);
}

std::optional<Value> SerialTree::read(const Element& element, std::string_view attribute) {
  AtspiAccessible* a = raw(element);
  std::optional<Extents> pending = std::move(pending_);
  pending_.reset();
  if (!a) return std::nullopt;

  if (attribute == "AXChildren") return children(a);
  if (attribute == "AXWindows") return windows(a);
  if (attribute == "AXRole") {
    Err err;
    AtspiRole role = atspi_accessible_get_role(a, &err);
    if (err) return std::nullopt;
    bool multi = false;
    if (role == ATSPI_ROLE_TEXT || role == ATSPI_ROLE_ENTRY)
      multi = hasState(a, ATSPI_STATE_MULTI_LINE, nullptr);
    return Value::ofText(roleName(role, multi));
  }
  if (attribute == "AXValue") {
    if (Ref<AtspiText> text(atspi_accessible_get_text_iface(a)); text) {
      Err err;
      gchar* s = atspi_text_get_text(text.p, 0, -1, &err);
      if (err) {
        g_free(s);
        return std::nullopt;
      }
      return Value::ofText(withoutObjectReplacement(takeString(s)));
    }
    if (Ref<AtspiValue> value(atspi_accessible_get_value_iface(a)); value) {
      Err err;
      double v = atspi_value_get_current_value(value.p, &err);
      if (err) return std::nullopt;
      return Value::ofNumber(v);
    }
    return std::nullopt;
  }
  if (attribute == "AXTitle" || attribute == "AXDescription") {
    Err err;
    gchar* s = attribute == "AXTitle" ? atspi_accessible_get_name(a, &err)
                                      : atspi_accessible_get_description(a, &err);
    if (err) {
      g_free(s);
      return std::nullopt;
    }
    return Value::ofText(takeString(s));
  }
  if (attribute == "AXPlaceholderValue") {
    Err err;
    GHashTable* attrs = atspi_accessible_get_attributes(a, &err);
    if (!attrs) return std::nullopt;
    auto* found = static_cast<const char*>(g_hash_table_lookup(attrs, "placeholder-text"));
    std::optional<Value> out;
    if (found) out = Value::ofText(found);
    g_hash_table_unref(attrs);
    return out;
  }
  if (attribute == "AXPosition") {
    auto e = extents(a);
    if (!e) return std::nullopt;
    pending_ = e;
    return Value::ofPoint(Point{e->x, e->y});
  }
  if (attribute == "AXSize") {
    auto e = (pending && pending->element == a) ? pending : extents(a);
    if (!e) return std::nullopt;
    return Value::ofSize(Size{e->width, e->height});
  }
  if (attribute == "AXParent") {
    Err err;
    AtspiAccessible* parent = atspi_accessible_get_parent(a, &err);
    if (err) {
      if (parent) g_object_unref(parent);
      return std::nullopt;
    }
    if (!parent) return Value::absent();
    return Value::ofElement(wrap(parent));
  }
  if (attribute == "AXFocused") {
    bool ok = false;
    bool focused = hasState(a, ATSPI_STATE_FOCUSED, &ok);
    if (!ok) return std::nullopt;
    return Value::ofBoolean(focused);
  }
  return std::nullopt;
}

bool SerialTree::grabFocus(const Element& element) {
  pending_.reset();
  AtspiAccessible* a = raw(element);
  if (!a) return false;
  Ref<AtspiComponent> component(atspi_accessible_get_component_iface(a));
  if (!component) return false;
  Err err;
  gboolean ok = atspi_component_grab_focus(component.p, &err);
  return ok && !err;
}

std::optional<std::vector<std::string>> SerialTree::actions(const Element& element) {
  pending_.reset();
  AtspiAccessible* a = raw(element);
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
    addAction(out, actionName(takeString(s)));
  }
  return out;
}

std::optional<Element> SerialTree::atPoint(const Element& element, Point at) {
  pending_.reset();
  AtspiAccessible* a = raw(element);
  std::int32_t x = 0, y = 0;
  if (!a || !toInt(at.x, x) || !toInt(at.y, y)) return std::nullopt;
  Ref<AtspiComponent> component(atspi_accessible_get_component_iface(a));
  if (!component) return std::nullopt;
  Err err;
  AtspiAccessible* found =
      atspi_component_get_accessible_at_point(component.p, x, y, ATSPI_COORD_TYPE_SCREEN, &err);
  if (err || !found) {
    if (found) g_object_unref(found);
    return std::nullopt;
  }
  return wrap(found);
}

std::string SerialTree::toolkit(const Element& application) {
  pending_.reset();
  AtspiAccessible* a = raw(application);
  if (!a) return "";
  Err err;
  gchar* name = atspi_accessible_get_toolkit_name(a, &err);
  if (err) {
    g_free(name);
    return "";
  }
  return takeString(name);
}

bool SerialTree::busy(const Element& element) {
  pending_.reset();
  AtspiAccessible* a = raw(element);
  return a && hasState(a, ATSPI_STATE_BUSY, nullptr);
}

bool SerialTree::perform(const Element& element, std::string_view wanted) {
  pending_.reset();
  AtspiAccessible* a = raw(element);
  if (!a) return false;
  Ref<AtspiAction> action(atspi_accessible_get_action_iface(a));
  if (!action) return false;
  Err err;
  int n = atspi_action_get_n_actions(action.p, &err);
  if (err) return false;
  for (int i = 0; i < n; ++i) {
    Err nameErr;
    std::string name = takeString(atspi_action_get_action_name(action.p, i, &nameErr));
    if (nameErr) return false;
    if (actionName(name) != wanted) continue;
    Err doErr;
    gboolean ok = atspi_action_do_action(action.p, i, &doErr);
    return ok && !doErr;
  }
  return false;
}

}  // namespace ombru::ax::desktop
