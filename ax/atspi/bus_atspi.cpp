// The accessibility bus and the applications registered on it.
#include <atspi/atspi.h>
#include <gio/gio.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "bulk_atspi.hpp"
#include "desktop_entries.hpp"
#include "glib_atspi.hpp"
#include "serial_atspi.hpp"
#include "tree_atspi.hpp"

namespace ombru::ax::desktop {
namespace {

// libatspi's own wait for an application that is still starting.
constexpr int kStartupTimeoutMs = 4000;

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

// A connection to the message bus at this address; null when there is none.
GDBusConnection* busAt(const std::string& address) {
  Err err;
  return g_dbus_connection_new_for_address_sync(
      address.c_str(),
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, &err);
}

bool reachable(const std::string& address) {
  GDBusConnection* c = busAt(address);
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
  return busAt(address);
}

}  // namespace

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
        G_VARIANT_TYPE("(s)"), G_DBUS_CALL_FLAGS_NONE, TreeReader::kCallTimeoutMs, nullptr, &err);
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
  atspi_set_timeout(TreeReader::kCallTimeoutMs, kStartupTimeoutMs);
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

}  // namespace ombru::ax::desktop
