// Ownership of what GLib and libatspi hand over: one GError per call and one
// object reference, each released on every path.
#pragma once

#include <glib-object.h>

namespace ombru::ax::desktop {

struct Err {
  GError* e = nullptr;
  Err() = default;
  ~Err() { g_clear_error(&e); }
  Err(const Err&) = delete;
  Err& operator=(const Err&) = delete;
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

}  // namespace ombru::ax::desktop
