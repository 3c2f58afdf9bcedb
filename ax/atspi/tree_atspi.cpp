#include "tree_atspi.hpp"

#include "desktop_entries.hpp"

#include "bulk_atspi.hpp"
#include "serial_atspi.hpp"

#include <atspi/atspi.h>
#include <gio/gio.h>

#include <unistd.h>
#include <algorithm>
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
    auto bulk = std::make_unique<BulkTree>(address);
    bulk_ = bulk.get();
    reader_ = std::move(bulk);
    reader_->setOrigin(originOf_);
    connected_ = true;
    return true;
  }
  if (atspi_init() > 1) return false;
  atspi_set_timeout(kCallTimeoutMs, kStartupTimeoutMs);
  reader_ = std::make_unique<SerialTree>();
  reader_->setOrigin(originOf_);
  connected_ = true;
  return true;
}

void AtspiTree::loadApplications() {
  if (loaded_) return;
  loaded_ = true;
  if (!connect()) return;
  apps_ = reader_->applications();
}

std::vector<RunningApp> AtspiTree::applications() {
  // Applications join the tree only while the desktop's accessibility
  // switch is on, so it is turned on before looking; each look lists the
  // applications afresh, since one may join between looks.
  if (!switchedOn_ && connect()) {
    switchedOn_ = true;
    setEnabled(true);
  }
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
  // The names a user knows the application by, from its desktop entry, as
  // further entries of the same process after every name above, so those
  // keep their precedence.
  if (entries_.empty()) entries_ = loadDesktopEntries(dataDirs(), messageLocale());
  const std::size_t listed = out.size();
  for (std::size_t i = 0; i < listed; ++i) {
    const DesktopEntry* e = entryOf(entries_, apps_[i].name, processWords(apps_[i].pid));
    if (!e) continue;
    RunningApp r = out[i];
    r.localizedName = e->name;
    r.bundleIdentifier = e->id;
    out.push_back(std::move(r));
  }
  return out;
}

std::optional<std::string> AtspiTree::nameOfProcess(std::int64_t pid) {
  loadApplications();
  for (const ListedApp& app : apps_)
    if (app.pid == pid && pid > 0) return app.name;
  return std::nullopt;
}

Element AtspiTree::applicationElement(std::int64_t pid) {
  loadApplications();
  for (const ListedApp& app : apps_) {
    if (app.pid == pid) return app.element;
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

bool AtspiTree::writeBool(const Element& element, std::string_view attribute, bool value) {
  invalidate();
  // Both flags stand for the one desktop-wide switch that makes toolkits
  // build and expose their trees.
  if (attribute == "AXManualAccessibility" || attribute == "AXEnhancedUserInterface") {
    if (!connect()) return false;
    return setEnabled(value);
  }
  if (attribute == "AXFocused" && reader_) return value && reader_->grabFocus(element);
  return false;
}

bool AtspiTree::writeNumber(const Element& element, std::string_view attribute, double value) {
  invalidate();
  return reader_ && attribute == "AXValue" && reader_->setNumber(element, value);
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

namespace {

std::optional<Area> frameOf(TreeReader& r, const Element& e) {
  auto at = r.read(e, "AXPosition");
  auto size = r.read(e, "AXSize");
  if (!at || !size || at->shape != Value::Shape::Point || size->shape != Value::Shape::Size)
    return std::nullopt;
  if (!(size->size.width > 0 && size->size.height > 0)) return std::nullopt;
  return Area{at->point, size->size};
}

bool holds(const Area& outer, const Area& inner) {
  const double x = inner.origin.x + inner.size.width / 2,
               y = inner.origin.y + inner.size.height / 2;
  return x >= outer.origin.x && x <= outer.origin.x + outer.size.width && y >= outer.origin.y &&
         y <= outer.origin.y + outer.size.height;
}

// Elements below `from` in pre-order, at most `limit` of them, until
// `stop` answers true for one; that one, if any.
std::optional<Element> firstBelow(TreeReader& r, const Element& from, std::size_t limit,
                                  const std::function<bool(const Element&)>& stop) {
  std::vector<Element> stack{from};
  for (std::size_t seen = 0; !stack.empty() && seen < limit; ++seen) {
    Element e = std::move(stack.back());
    stack.pop_back();
    if (seen > 0 && stop(e)) return e;
    auto kids = r.read(e, "AXChildren");
    if (!kids || kids->shape != Value::Shape::Elements) continue;
    for (auto k = kids->elements.rbegin(); k != kids->elements.rend(); ++k) stack.push_back(*k);
  }
  return std::nullopt;
}

bool hasRole(TreeReader& r, const Element& e, std::string_view role) {
  auto v = r.read(e, "AXRole");
  return v && v->shape == Value::Shape::Text && v->text == role;
}

}  // namespace

bool AtspiTree::settling(const Element& application) {
  if (!reader_ || reader_->toolkit(application) != "Gecko") return false;
  // How far the checks look: the browser's own controls come before the
  // page, and the page's first text is near its start.
  constexpr std::size_t kToPage = 3000, kToText = 400;
  TreeReader& r = *reader_;
  auto windows = r.read(application, "AXWindows");
  if (!windows || windows->shape != Value::Shape::Elements || windows->elements.empty())
    return true;
  auto page = firstBelow(r, windows->elements.front(), kToPage,
                         [&](const Element& e) { return hasRole(r, e, "AXWebArea"); });
  if (!page || r.busy(*page)) return true;
  auto pageFrame = frameOf(r, *page);
  if (!pageFrame) return true;
  // Every text near the page's start whose element has a place on the page
  // must have one too: Firefox sends them a few at a time.
  bool placed = true, actionsAsked = false;
  firstBelow(r, *page, kToText, [&](const Element& e) {
    if (!hasRole(r, e, "AXStaticText")) return false;
    auto parent = r.read(e, "AXParent");
    if (!parent || parent->shape != Value::Shape::Element || parent->elements.empty()) return false;
    auto outer = frameOf(r, parent->elements.front());
    if (!outer || !holds(*pageFrame, *outer)) return false;
    // Actions, too, are sent only once asked for: asked here, they are
    // there by the time a press needs them.
    if (!actionsAsked) actionsAsked = r.actions(parent->elements.front()).has_value();
    auto own = frameOf(r, e);
    placed = own && holds(*pageFrame, *own);
    return !placed;
  });
  return !placed;
}

bool AtspiTree::perform(const Element& element, std::string_view wanted) {
  invalidate();
  if (!reader_) return false;
  return reader_->perform(element, wanted);
}

}  // namespace ombru::ax::desktop
