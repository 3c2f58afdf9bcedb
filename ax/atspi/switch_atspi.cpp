// The desktop's accessibility switch (org.a11y.Status IsEnabled):
// applications join the accessibility bus only while it is on.
#include <gio/gio.h>

#include "glib_atspi.hpp"
#include "tree_atspi.hpp"

namespace ombru::ax::desktop {

bool AtspiTree::setEnabled(bool value) {
  if (!session_) return false;
  Err err;
  GVariant* reply = g_dbus_connection_call_sync(
      session_, "org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
      g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(value)), nullptr,
      G_DBUS_CALL_FLAGS_NONE, TreeReader::kCallTimeoutMs, nullptr, &err);
  if (!reply) return false;
  g_variant_unref(reply);
  return true;
}

}  // namespace ombru::ax::desktop
