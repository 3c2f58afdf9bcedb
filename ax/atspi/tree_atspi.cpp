#include "tree_atspi.hpp"

#include "bulk_atspi.hpp"

#include <atspi/atspi.h>
#include <gio/gio.h>

#include <unistd.h>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace ombru::ax::desktop {
namespace {

// Every AT-SPI request waits at most this long, so a target that stops
// answering ends a read as a failure instead of hanging the tool.
constexpr int kCallTimeoutMs = 2000;
constexpr int kStartupTimeoutMs = 4000;
constexpr int kBusTimeoutMs = 2000;

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

std::optional<std::string> executableName(std::int64_t pid) {
  if (pid <= 0) return std::nullopt;
  std::string base = "/proc/" + std::to_string(pid);
  char buf[4096];
  ssize_t n = readlink((base + "/exe").c_str(), buf, sizeof buf - 1);
  std::string path;
  if (n > 0) {
    path.assign(buf, static_cast<size_t>(n));
    // A replaced executable reads as "/path (deleted)".
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.ends_with(deleted))
      path.resize(path.size() - deleted.size());
  } else {
    std::ifstream cmd(base + "/cmdline", std::ios::binary);
    std::getline(cmd, path, '\0');
  }
  auto slash = path.rfind('/');
  if (slash != std::string::npos) path = path.substr(slash + 1);
  if (path.empty()) return std::nullopt;
  return path;
}

bool reachable(const std::string& address) {
  Err err;
  GDBusConnection* c = g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &err);
  if (!c) return false;
  g_dbus_connection_close_sync(c, nullptr, nullptr);
  g_object_unref(c);
  return true;
}

// The session bus, without ever auto-launching one.
GDBusConnection* sessionBus() {
  const char* env = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  std::string address;
  if (env && *env) {
    address = env;
  } else if (const char* run = std::getenv("XDG_RUNTIME_DIR")) {
    std::string path = std::string(run) + "/bus";
    if (access(path.c_str(), F_OK) != 0) return nullptr;
    address = "unix:path=" + path;
  } else {
    return nullptr;
  }
  Err err;
  return g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &err);
}

}  // namespace

Element wrap(AtspiAccessible* accessible) {
  if (!accessible) return Element();
  // libatspi keeps one object per node, so the pointer is the identity.
  return Element(std::shared_ptr<void>(accessible, [](void* p) { g_object_unref(p); }));
}

std::string roleName(int atspiRole, bool multiLine) {
  switch (static_cast<AtspiRole>(atspiRole)) {
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_CAPTION:
    case ATSPI_ROLE_ACCELERATOR_LABEL:
      return "AXStaticText";
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_ENTRY:
      return multiLine ? "AXTextArea" : "AXTextField";
    case ATSPI_ROLE_PASSWORD_TEXT:
      return "AXTextField";
    case ATSPI_ROLE_TERMINAL:
    case ATSPI_ROLE_DOCUMENT_TEXT:
      return "AXTextArea";
    case ATSPI_ROLE_COMBO_BOX:
    case ATSPI_ROLE_AUTOCOMPLETE:
      return "AXComboBox";
    case ATSPI_ROLE_HEADING:
      return "AXHeading";
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_TOGGLE_BUTTON:
      return "AXButton";
    case ATSPI_ROLE_PUSH_BUTTON_MENU:
      return "AXMenuButton";
    case ATSPI_ROLE_DOCUMENT_WEB:
      return "AXWebArea";
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_WINDOW:
    case ATSPI_ROLE_DIALOG:
    case ATSPI_ROLE_FILE_CHOOSER:
    case ATSPI_ROLE_ALERT:
      return "AXWindow";
    case ATSPI_ROLE_APPLICATION:
      return "AXApplication";
    case ATSPI_ROLE_CHECK_BOX:
      return "AXCheckBox";
    case ATSPI_ROLE_RADIO_BUTTON:
    case ATSPI_ROLE_PAGE_TAB:
      return "AXRadioButton";
    case ATSPI_ROLE_LINK:
      return "AXLink";
    case ATSPI_ROLE_IMAGE:
    case ATSPI_ROLE_ICON:
    case ATSPI_ROLE_DESKTOP_ICON:
      return "AXImage";
    case ATSPI_ROLE_LIST:
    case ATSPI_ROLE_LIST_BOX:
    case ATSPI_ROLE_DESCRIPTION_LIST:
      return "AXList";
    case ATSPI_ROLE_TABLE:
    case ATSPI_ROLE_TREE_TABLE:
      return "AXTable";
    case ATSPI_ROLE_TREE:
      return "AXOutline";
    case ATSPI_ROLE_TABLE_ROW:
    case ATSPI_ROLE_TREE_ITEM:
      return "AXRow";
    case ATSPI_ROLE_TABLE_CELL:
      return "AXCell";
    case ATSPI_ROLE_COLUMN_HEADER:
    case ATSPI_ROLE_TABLE_COLUMN_HEADER:
      return "AXColumn";
    case ATSPI_ROLE_SCROLL_PANE:
    case ATSPI_ROLE_VIEWPORT:
      return "AXScrollArea";
    case ATSPI_ROLE_SCROLL_BAR:
      return "AXScrollBar";
    case ATSPI_ROLE_SLIDER:
    case ATSPI_ROLE_DIAL:
      return "AXSlider";
    case ATSPI_ROLE_SPIN_BUTTON:
      return "AXIncrementor";
    case ATSPI_ROLE_PROGRESS_BAR:
    case ATSPI_ROLE_LEVEL_BAR:
      return "AXProgressIndicator";
    case ATSPI_ROLE_MENU_BAR:
      return "AXMenuBar";
    case ATSPI_ROLE_MENU:
    case ATSPI_ROLE_POPUP_MENU:
      return "AXMenu";
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
    case ATSPI_ROLE_TEAROFF_MENU_ITEM:
      return "AXMenuItem";
    case ATSPI_ROLE_TOOL_BAR:
      return "AXToolbar";
    case ATSPI_ROLE_PAGE_TAB_LIST:
      return "AXTabGroup";
    case ATSPI_ROLE_SPLIT_PANE:
      return "AXSplitGroup";
    case ATSPI_ROLE_SEPARATOR:
      return "AXSplitter";
    case ATSPI_ROLE_TOOL_TIP:
      return "AXHelpTag";
    case ATSPI_ROLE_INVALID:
    case ATSPI_ROLE_UNKNOWN:
      return "AXUnknown";
    default:
      return "AXGroup";
  }
}

std::string actionName(std::string_view atspiAction) {
  if (atspiAction == "click" || atspiAction == "press" || atspiAction == "activate" ||
      atspiAction == "clickAncestor")
    return "AXPress";
  if (atspiAction == "showContextMenu") return "AXShowMenu";
  return std::string(atspiAction);
}

bool isTopLevelRole(int atspiRole) {
  return atspiRole == ATSPI_ROLE_FRAME || atspiRole == ATSPI_ROLE_WINDOW ||
         atspiRole == ATSPI_ROLE_DIALOG || atspiRole == ATSPI_ROLE_FILLER;
}

bool toInt(double v, std::int32_t& out) {
  if (!(v >= INT32_MIN && v <= INT32_MAX)) return false;
  out = static_cast<std::int32_t>(std::floor(v));
  return true;
}

std::string withoutObjectReplacement(std::string_view text) {
  static constexpr std::string_view kFffc = "\xEF\xBF\xBC";
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (text.compare(i, kFffc.size(), kFffc) == 0) {
      i += kFffc.size();
    } else {
      out.push_back(text[i]);
      ++i;
    }
  }
  return out;
}

AtspiTree::AtspiTree(std::function<std::optional<std::string>()> rootBusAddress)
    : rootBusAddress_(std::move(rootBusAddress)) {
  const char* walk = std::getenv("OMBRU_AX_WALK");
  serial_ = walk && std::strcmp(walk, "serial") == 0;
}

void AtspiTree::invalidate() {
  pending_.reset();
  if (bulk_) bulk_->invalidate();
}

AtspiTree::~AtspiTree() {
  release();
}

void AtspiTree::release() {
  if (bulk_) {
    // For measuring: how many calls the bulk walk made.
    if (std::getenv("OMBRU_AX_COUNT_CALLS"))
      std::fprintf(stderr, "ombru-ax: %llu D-Bus calls\n",
                   static_cast<unsigned long long>(bulk_->calls()));
    bulk_->release();
    bulk_.reset();
  }
  for (App& app : apps_)
    if (app.accessible) g_object_unref(app.accessible);
  apps_.clear();
  pending_.reset();
  if (session_) {
    g_object_unref(session_);
    session_ = nullptr;
  }
}

bool AtspiTree::connect() {
  if (tried_) return connected_;
  tried_ = true;
  // libatspi aborts the process when it cannot reach the accessibility bus,
  // so the bus is found and tried here first, the way libatspi looks for it.
  std::string address;
  if (const char* env = std::getenv("AT_SPI_BUS_ADDRESS"); env && *env) address = env;
  if (address.empty() && rootBusAddress_) {
    if (auto fromRoot = rootBusAddress_()) address = *fromRoot;
  }
  session_ = sessionBus();
  if (address.empty() && session_) {
    Err err;
    GVariant* reply = g_dbus_connection_call_sync(
        session_, "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", nullptr,
        G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, kBusTimeoutMs, nullptr, &err);
    if (reply) {
      const gchar* a = nullptr;
      g_variant_get(reply, "(&s)", &a);
      if (a) address = a;
      g_variant_unref(reply);
    }
  }
  if (address.empty() || !reachable(address)) return false;
  setenv("AT_SPI_BUS_ADDRESS", address.c_str(), 1);
  if (!serial_) {
    // libatspi is not needed then: it would connect to every application
    // listed and have each one send its whole tree.
    bulk_ = std::make_unique<BulkTree>(address);
    connected_ = true;
    return true;
  }
  if (atspi_init() > 1) return false;
  atspi_set_timeout(kCallTimeoutMs, kStartupTimeoutMs);
  connected_ = true;
  return true;
}

void AtspiTree::loadApplications() {
  if (loaded_) return;
  loaded_ = true;
  if (!connect()) return;
  if (bulk_) {
    for (BulkTree::Listed& app : bulk_->applications())
      apps_.push_back(App{nullptr, std::move(app.name), app.pid, std::move(app.busName)});
    return;
  }
  Ref<AtspiAccessible> desktop(atspi_get_desktop(0));
  if (!desktop) return;
  Err err;
  int n = atspi_accessible_get_child_count(desktop.p, &err);
  if (err) return;
  for (int i = 0; i < n; ++i) {
    Err childErr;
    AtspiAccessible* app = atspi_accessible_get_child_at_index(desktop.p, i, &childErr);
    if (!app) continue;
    Err nameErr, pidErr;
    std::string name = takeString(atspi_accessible_get_name(app, &nameErr));
    guint pid = atspi_accessible_get_process_id(app, &pidErr);
    if (pidErr) pid = 0;
    apps_.push_back(App{app, name, static_cast<std::int64_t>(pid), {}});
  }
}

std::vector<RunningApp> AtspiTree::applications() {
  // Applications join the tree only while the desktop's accessibility
  // switch is on, so it is turned on before looking; each look lists the
  // applications afresh, since one may join between looks.
  if (!switchedOn_ && connect()) {
    switchedOn_ = true;
    setEnabled(true);
  }
  for (App& app : apps_)
    if (app.accessible) g_object_unref(app.accessible);
  apps_.clear();
  loaded_ = false;
  loadApplications();
  std::vector<RunningApp> out;
  for (size_t i = 0; i < apps_.size(); ++i) {
    RunningApp r;
    r.localizedName = apps_[i].name;
    r.bundleIdentifier = executableName(apps_[i].pid);
    r.processIdentifier = apps_[i].pid;
    r.token = i;
    out.push_back(std::move(r));
  }
  return out;
}

std::optional<std::string> AtspiTree::nameOfProcess(std::int64_t pid) {
  loadApplications();
  for (const App& app : apps_)
    if (app.pid == pid && pid > 0) return app.name;
  return std::nullopt;
}

Element AtspiTree::applicationElement(std::int64_t pid) {
  loadApplications();
  for (const App& app : apps_) {
    if (app.pid != pid) continue;
    if (bulk_) return bulk_->element(app.busName, "/org/a11y/atspi/accessible/root");
    return wrap(static_cast<AtspiAccessible*>(g_object_ref(app.accessible)));
  }
  return Element();
}

bool AtspiTree::setEnabled(bool value) {
  if (!session_) return false;
  Err err;
  GVariant* reply = g_dbus_connection_call_sync(
      session_, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
      g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(value)), nullptr,
      G_DBUS_CALL_FLAGS_NONE, kBusTimeoutMs, nullptr, &err);
  if (!reply) return false;
  g_variant_unref(reply);
  return true;
}

std::optional<AtspiTree::Extents> AtspiTree::extents(AtspiAccessible* a) {
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

std::optional<Value> AtspiTree::children(AtspiAccessible* a) {
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

std::optional<Value> AtspiTree::windows(AtspiAccessible* a) {
  auto kids = children(a);
  if (!kids) return std::nullopt;
  // The active window first, then those on screen, then hidden ones, each
  // group in the application's order: a window the toolkit keeps but does
  // not show must never be taken for the front one.
  std::vector<Element> ranked[3];
  for (Element& child : kids->elements) {
    Err err;
    AtspiRole role = atspi_accessible_get_role(raw(child), &err);
    if (err) continue;
    if (!isTopLevelRole(role)) continue;
    int rank = 2;
    if (AtspiStateSet* set = atspi_accessible_get_state_set(raw(child))) {
      if (atspi_state_set_contains(set, ATSPI_STATE_ACTIVE))
        rank = 0;
      else if (atspi_state_set_contains(set, ATSPI_STATE_SHOWING))
        rank = 1;
      g_object_unref(set);
    }
    ranked[rank].push_back(child);
  }
  for (int i = 1; i < 3; ++i) ranked[0].insert(ranked[0].end(), ranked[i].begin(), ranked[i].end());
  return Value::ofElements(std::move(ranked[0]));
}

std::optional<Value> AtspiTree::read(const Element& element, std::string_view attribute) {
  AtspiAccessible* a = raw(element);
  if (bulk_) return bulk_->read(element, attribute);
  std::optional<Extents> pending = std::move(pending_);
  pending_.reset();
  if (!a || !connected_) return std::nullopt;

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

bool AtspiTree::writeBool(const Element& element, std::string_view attribute, bool value) {
  invalidate();
  // Both flags stand for the one desktop-wide switch that makes toolkits
  // build and expose their trees.
  if (attribute == "AXManualAccessibility" || attribute == "AXEnhancedUserInterface") {
    if (!connect()) return false;
    return setEnabled(value);
  }
  if (attribute == "AXFocused" && bulk_) return value && bulk_->grabFocus(element);
  AtspiAccessible* a = raw(element);
  if (!a || !connected_) return false;
  if (attribute == "AXFocused") {
    if (!value) return false;
    Ref<AtspiComponent> component(atspi_accessible_get_component_iface(a));
    if (!component) return false;
    Err err;
    gboolean ok = atspi_component_grab_focus(component.p, &err);
    return ok && !err;
  }
  return false;
}

std::optional<std::vector<std::string>> AtspiTree::actions(const Element& element) {
  pending_.reset();
  if (bulk_) return bulk_->actions(element);
  AtspiAccessible* a = raw(element);
  if (!a || !connected_) return std::nullopt;
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
    std::string name = actionName(takeString(s));
    bool seen = false;
    for (const std::string& have : out) seen = seen || have == name;
    if (!seen) out.push_back(std::move(name));
  }
  return out;
}

std::optional<Element> AtspiTree::atPoint(const Element& element, Point at) {
  pending_.reset();
  if (bulk_) return bulk_->atPoint(element, at);
  AtspiAccessible* a = raw(element);
  std::int32_t x = 0, y = 0;
  if (!a || !connected_ || !toInt(at.x, x) || !toInt(at.y, y)) return std::nullopt;
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

bool AtspiTree::perform(const Element& element, std::string_view wanted) {
  invalidate();
  if (bulk_) return bulk_->perform(element, wanted);
  AtspiAccessible* a = raw(element);
  if (!a || !connected_) return false;
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
