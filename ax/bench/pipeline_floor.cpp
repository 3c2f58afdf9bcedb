// The floor for the bulk walk: how fast the target answers at all. Straight
// libdbus on the application's own connection: one Cache.GetItems, then one
// Text.GetText for every element it lists, all sent before the first reply
// is read, then the same for Component.GetExtents, then 2000 GetRole calls
// one after another. No walk, no decisions: only the target's own cost.
// Usage: pipeline_floor <accessibility bus address> <app name>
// Prints: items=<n> getitems_ms=<ms> text_ms=<ms> text_us_per_call=<us>
//         extents_ms=<ms> serial_us_per_call=<us>
#include <dbus/dbus.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

DBusMessage* callBlock(DBusConnection* c, DBusMessage* m) {
  DBusError err;
  dbus_error_init(&err);
  DBusMessage* r = dbus_connection_send_with_reply_and_block(c, m, 10000, &err);
  dbus_message_unref(m);
  dbus_error_free(&err);
  return r;
}

std::string nameOf(DBusConnection* bus, const char* dest, const char* path) {
  DBusMessage* m =
      dbus_message_new_method_call(dest, path, "org.freedesktop.DBus.Properties", "Get");
  const char* iface = "org.a11y.atspi.Accessible";
  const char* prop = "Name";
  dbus_message_append_args(m, DBUS_TYPE_STRING, &iface, DBUS_TYPE_STRING, &prop, DBUS_TYPE_INVALID);
  DBusMessage* r = callBlock(bus, m);
  std::string out;
  DBusMessageIter it, v;
  if (r && dbus_message_iter_init(r, &it) &&
      dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_VARIANT) {
    dbus_message_iter_recurse(&it, &v);
    if (dbus_message_iter_get_arg_type(&v) == DBUS_TYPE_STRING) {
      const char* s = nullptr;
      dbus_message_iter_get_basic(&v, &s);
      out = s;
    }
  }
  if (r) dbus_message_unref(r);
  return out;
}

// Sends one message per path, all at once, then waits for every reply.
template <class Build>
void pipelined(DBusConnection* c, const std::vector<std::string>& paths, Build build) {
  std::vector<DBusPendingCall*> calls;
  for (const std::string& p : paths) {
    DBusMessage* m = build(p.c_str());
    DBusPendingCall* call = nullptr;
    dbus_connection_send_with_reply(c, m, &call, 10000);
    dbus_message_unref(m);
    calls.push_back(call);
  }
  for (DBusPendingCall* call : calls) {
    if (!call) continue;
    dbus_pending_call_block(call);
    if (DBusMessage* r = dbus_pending_call_steal_reply(call)) dbus_message_unref(r);
    dbus_pending_call_unref(call);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: pipeline_floor <a11y bus address> <app name>\n");
    return 2;
  }
  DBusError err;
  dbus_error_init(&err);
  DBusConnection* bus = dbus_connection_open_private(argv[1], &err);
  if (!bus || !dbus_bus_register(bus, &err)) return 3;
  DBusMessage* r = callBlock(bus, dbus_message_new_method_call(
                                      "org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root",
                                      "org.a11y.atspi.Accessible", "GetChildren"));
  std::string dest;
  DBusMessageIter it, list, ref;
  if (r && dbus_message_iter_init(r, &it)) {
    for (dbus_message_iter_recurse(&it, &list);
         dbus_message_iter_get_arg_type(&list) == DBUS_TYPE_STRUCT && dest.empty();
         dbus_message_iter_next(&list)) {
      dbus_message_iter_recurse(&list, &ref);
      const char* name = nullptr;
      dbus_message_iter_get_basic(&ref, &name);
      if (nameOf(bus, name, "/org/a11y/atspi/accessible/root") == argv[2]) dest = name;
    }
  }
  if (r) dbus_message_unref(r);
  if (dest.empty()) return 3;
  DBusConnection* c = bus;
  r = callBlock(
      bus, dbus_message_new_method_call(dest.c_str(), "/org/a11y/atspi/accessible/root",
                                        "org.a11y.atspi.Application", "GetApplicationBusAddress"));
  const char* address = nullptr;
  if (r && dbus_message_get_args(r, nullptr, DBUS_TYPE_STRING, &address, DBUS_TYPE_INVALID) &&
      *address) {
    if (DBusConnection* own = dbus_connection_open_private(address, &err)) c = own;
  }
  if (r) dbus_message_unref(r);

  auto t0 = Clock::now();
  r = callBlock(c, dbus_message_new_method_call(dest.c_str(), "/org/a11y/atspi/cache",
                                                "org.a11y.atspi.Cache", "GetItems"));
  auto t1 = Clock::now();
  std::vector<std::string> paths;
  if (r && dbus_message_iter_init(r, &it)) {
    for (dbus_message_iter_recurse(&it, &list);
         dbus_message_iter_get_arg_type(&list) == DBUS_TYPE_STRUCT; dbus_message_iter_next(&list)) {
      DBusMessageIter item, self;
      dbus_message_iter_recurse(&list, &item);
      dbus_message_iter_recurse(&item, &self);
      dbus_message_iter_next(&self);
      const char* path = nullptr;
      dbus_message_iter_get_basic(&self, &path);
      paths.emplace_back(path);
    }
  }
  if (r) dbus_message_unref(r);
  if (paths.empty()) return 4;

  auto t2 = Clock::now();
  pipelined(c, paths, [&](const char* p) {
    DBusMessage* m =
        dbus_message_new_method_call(dest.c_str(), p, "org.a11y.atspi.Text", "GetText");
    dbus_int32_t from = 0, to = -1;
    dbus_message_append_args(m, DBUS_TYPE_INT32, &from, DBUS_TYPE_INT32, &to, DBUS_TYPE_INVALID);
    return m;
  });
  auto t3 = Clock::now();
  pipelined(c, paths, [&](const char* p) {
    DBusMessage* m =
        dbus_message_new_method_call(dest.c_str(), p, "org.a11y.atspi.Component", "GetExtents");
    dbus_uint32_t screen = 0;
    dbus_message_append_args(m, DBUS_TYPE_UINT32, &screen, DBUS_TYPE_INVALID);
    return m;
  });
  auto t4 = Clock::now();
  constexpr int kSerial = 2000;
  for (int i = 0; i < kSerial; ++i) {
    DBusMessage* m = dbus_message_new_method_call(dest.c_str(), paths[i % paths.size()].c_str(),
                                                  "org.a11y.atspi.Accessible", "GetRole");
    if (DBusMessage* reply = callBlock(c, m)) dbus_message_unref(reply);
  }
  auto t5 = Clock::now();
  std::printf(
      "items=%zu getitems_ms=%.1f text_ms=%.1f text_us_per_call=%.1f extents_ms=%.1f "
      "serial_us_per_call=%.1f\n",
      paths.size(), ms(t0, t1), ms(t2, t3), ms(t2, t3) * 1000 / paths.size(), ms(t3, t4),
      ms(t4, t5) * 1000 / kSerial);
  return 0;
}
