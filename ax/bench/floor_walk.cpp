// The floor for the walk benchmark: the least a program can do to read what
// `ombru-ax text` or `ombru-ax read` reads, straight through libatspi, with
// no pauses and no layers. Usage: floor_walk text|read <app name>
// Prints: elements=<visited> found=<hits or lines> walk_ms=<walk only>
#include <atspi/atspi.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

long visited = 0;
long found = 0;

std::string take(gchar* s) {
  std::string out = s ? s : "";
  g_free(s);
  return out;
}

std::string trimmed(std::string s) {
  auto ws = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && ws(s.back())) s.pop_back();
  size_t i = 0;
  while (i < s.size() && ws(s[i])) ++i;
  return s.substr(i);
}

std::string label(AtspiAccessible* a) {
  GError* e = nullptr;
  if (AtspiText* t = atspi_accessible_get_text_iface(a)) {
    std::string s = take(atspi_text_get_text(t, 0, -1, &e));
    g_clear_error(&e);
    g_object_unref(t);
    for (size_t at; (at = s.find("\xEF\xBF\xBC")) != std::string::npos;) s.erase(at, 3);
    s = trimmed(s);
    if (!s.empty()) return s;
  }
  std::string s = trimmed(take(atspi_accessible_get_name(a, &e)));
  g_clear_error(&e);
  if (!s.empty()) return s;
  s = trimmed(take(atspi_accessible_get_description(a, &e)));
  g_clear_error(&e);
  return s;
}

bool frame(AtspiAccessible* a, AtspiRect& out) {
  AtspiStateSet* set = atspi_accessible_get_state_set(a);
  bool showing = set && atspi_state_set_contains(set, ATSPI_STATE_SHOWING);
  if (set) g_object_unref(set);
  if (!showing) return false;
  AtspiComponent* c = atspi_accessible_get_component_iface(a);
  if (!c) return false;
  GError* e = nullptr;
  AtspiRect* r = atspi_component_get_extents(c, ATSPI_COORD_TYPE_SCREEN, &e);
  g_clear_error(&e);
  g_object_unref(c);
  if (!r) return false;
  out = *r;
  g_free(r);
  return out.x != INT_MIN;
}

template <class F>
void eachChild(AtspiAccessible* a, F f) {
  GError* e = nullptr;
  int n = atspi_accessible_get_child_count(a, &e);
  g_clear_error(&e);
  for (int i = 0; i < n; ++i) {
    AtspiAccessible* c = atspi_accessible_get_child_at_index(a, i, &e);
    g_clear_error(&e);
    if (!c) continue;
    f(c);
    g_object_unref(c);
  }
}

void collect(AtspiAccessible* a, double edge, int depth) {
  if (depth > 60 || found > 3000) return;
  ++visited;
  std::string l = label(a);
  AtspiRect r;
  if (!l.empty() && l.size() < 120 && frame(a, r) && r.width > 0 && r.height > 0 && r.x < edge)
    ++found;
  eachChild(a, [&](AtspiAccessible* c) { collect(c, edge, depth + 1); });
}

AtspiRole role(AtspiAccessible* a, bool& multi) {
  GError* e = nullptr;
  AtspiRole r = atspi_accessible_get_role(a, &e);
  g_clear_error(&e);
  multi = false;
  if (r == ATSPI_ROLE_TEXT || r == ATSPI_ROLE_ENTRY) {
    AtspiStateSet* set = atspi_accessible_get_state_set(a);
    multi = set && atspi_state_set_contains(set, ATSPI_STATE_MULTI_LINE);
    if (set) g_object_unref(set);
  }
  return r;
}

AtspiAccessible* webArea(AtspiAccessible* a, int depth) {
  if (depth > 40) return nullptr;
  bool multi;
  if (role(a, multi) == ATSPI_ROLE_DOCUMENT_WEB)
    return static_cast<AtspiAccessible*>(g_object_ref(a));
  AtspiAccessible* hit = nullptr;
  GError* e = nullptr;
  int n = atspi_accessible_get_child_count(a, &e);
  g_clear_error(&e);
  for (int i = 0; i < n && !hit; ++i) {
    AtspiAccessible* c = atspi_accessible_get_child_at_index(a, i, &e);
    g_clear_error(&e);
    if (!c) continue;
    hit = webArea(c, depth + 1);
    g_object_unref(c);
  }
  return hit;
}

void lines(AtspiAccessible* a, int depth) {
  if (depth > 60 || found > 4000) return;
  ++visited;
  bool multi;
  AtspiRole r = role(a, multi);
  if (r == ATSPI_ROLE_LABEL || r == ATSPI_ROLE_STATIC || r == ATSPI_ROLE_TEXT ||
      r == ATSPI_ROLE_ENTRY || r == ATSPI_ROLE_HEADING) {
    if (!label(a).empty()) ++found;
  }
  eachChild(a, [&](AtspiAccessible* c) { lines(c, depth + 1); });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: floor_walk text|read <app name>\n");
    return 2;
  }
  bool text = std::strcmp(argv[1], "text") == 0;
  atspi_init();
  AtspiAccessible* desktop = atspi_get_desktop(0);
  GError* e = nullptr;
  AtspiAccessible* app = nullptr;
  int n = atspi_accessible_get_child_count(desktop, &e);
  g_clear_error(&e);
  for (int i = 0; i < n && !app; ++i) {
    AtspiAccessible* c = atspi_accessible_get_child_at_index(desktop, i, &e);
    g_clear_error(&e);
    if (!c) continue;
    if (take(atspi_accessible_get_name(c, &e)) == argv[2])
      app = c;
    else
      g_object_unref(c);
    g_clear_error(&e);
  }
  if (!app) return 3;
  AtspiAccessible* window = nullptr;
  eachChild(app, [&](AtspiAccessible* c) {
    if (!window) window = static_cast<AtspiAccessible*>(g_object_ref(c));
  });
  if (!window) return 4;
  auto begin = std::chrono::steady_clock::now();
  if (text) {
    AtspiRect r;
    if (frame(window, r)) collect(window, r.x + r.width + 1.0, 0);
  } else if (AtspiAccessible* web = webArea(window, 0)) {
    lines(web, 0);
    g_object_unref(web);
  }
  auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin);
  std::printf("elements=%ld found=%ld walk_ms=%.1f\n", visited, found, ms.count());
  g_object_unref(window);
  g_object_unref(app);
  g_object_unref(desktop);
  return 0;
}
