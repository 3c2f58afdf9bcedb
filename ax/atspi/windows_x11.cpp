#include "windows_x11.hpp"

#include <cstdlib>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstring>

namespace ombru::ax::desktop {
namespace {

// Windows come and go while they are read; a vanished window is an error
// the server reports, which must not end the process as Xlib's default does.
int ignoreErrors(Display*, XErrorEvent*) {
  return 0;
}

Atom atom(Display* d, const char* name) {
  return XInternAtom(d, name, False);
}

std::vector<unsigned long> cardinals(Display* d, Window w, const char* name, Atom type) {
  std::vector<unsigned long> out;
  Atom actual = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(d, w, atom(d, name), 0, 1 << 16, False, type, &actual, &format, &count,
                         &after, &data) == Success &&
      data) {
    if (format == 32) {
      auto* v = reinterpret_cast<unsigned long*>(data);  // Xlib hands 32-bit items as longs
      out.assign(v, v + count);
    }
    XFree(data);
  }
  return out;
}

std::optional<std::string> textProperty(Display* d, Window w, const char* name, Atom type) {
  Atom actual = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::optional<std::string> out;
  if (XGetWindowProperty(d, w, atom(d, name), 0, 1 << 16, False, type, &actual, &format, &count,
                         &after, &data) == Success &&
      data) {
    if (format == 8 && actual != None) out = std::string(reinterpret_cast<char*>(data), count);
    XFree(data);
  }
  return out;
}

std::optional<std::string> wmClassClass(Display* d, Window w) {
  XClassHint hint{nullptr, nullptr};
  if (!XGetClassHint(d, w, &hint)) return std::nullopt;
  std::optional<std::string> out;
  if (hint.res_class && *hint.res_class) out = hint.res_class;
  if (hint.res_name) XFree(hint.res_name);
  if (hint.res_class) XFree(hint.res_class);
  return out;
}

std::string windowType(Display* d, Window w, bool overrideRedirect) {
  static constexpr char kPrefix[] = "_NET_WM_WINDOW_TYPE_";
  for (unsigned long a : cardinals(d, w, "_NET_WM_WINDOW_TYPE", XA_ATOM)) {
    char* name = XGetAtomName(d, static_cast<Atom>(a));
    if (!name) continue;
    std::string s = name;
    XFree(name);
    if (s.rfind(kPrefix, 0) == 0) return s.substr(sizeof kPrefix - 1);
  }
  if (overrideRedirect) return "POPUP_MENU";
  Window owner = None;
  if (XGetTransientForHint(d, w, &owner) && owner != None) return "DIALOG";
  return "NORMAL";
}

WindowField field(const char* key, WindowValue value) {
  return WindowField{key, std::move(value)};
}

WindowValue integer(std::int64_t v) {
  WindowValue out;
  out.kind = WindowValue::Kind::Integer;
  out.integer = v;
  return out;
}

WindowValue real(double v) {
  WindowValue out;
  out.kind = WindowValue::Kind::Real;
  out.real = v;
  return out;
}

WindowValue text(std::string v) {
  WindowValue out;
  out.kind = WindowValue::Kind::Text;
  out.text = std::move(v);
  return out;
}

}  // namespace

std::int64_t layerOfType(const std::string& type) {
  if (type == "NORMAL" || type == "DIALOG") return 0;
  if (type == "DOCK") return 20;
  if (type == "MENU" || type == "DROPDOWN_MENU" || type == "POPUP_MENU" || type == "COMBO")
    return 101;
  if (type == "TOOLTIP") return 200;
  if (type == "NOTIFICATION") return 25;
  if (type == "DESKTOP") return -2147483623;
  return 3;  // utility, toolbar, splash, drag-and-drop and unknown kinds float
}

X11::~X11() {
  close();
}

void X11::close() {
  if (display_) XCloseDisplay(display_);
  display_ = nullptr;
}

Display* X11::display() {
  if (!tried_) {
    tried_ = true;
    XSetErrorHandler(ignoreErrors);
    display_ = XOpenDisplay(nullptr);
  }
  return display_;
}

std::optional<std::string> X11::atspiBusAddress() {
  Display* d = display();
  if (!d) return std::nullopt;
  auto v = textProperty(d, DefaultRootWindow(d), "AT_SPI_BUS", AnyPropertyType);
  if (v && v->empty()) return std::nullopt;
  return v;
}

bool X11::wmRunning() {
  Display* d = display();
  if (!d) return false;
  auto check = cardinals(d, DefaultRootWindow(d), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
  if (check.empty()) return false;
  auto self = cardinals(d, static_cast<Window>(check[0]), "_NET_SUPPORTING_WM_CHECK", XA_WINDOW);
  return !self.empty() && self[0] == check[0];
}

std::vector<unsigned long> X11::clients(bool stacking) {
  Display* d = display();
  std::vector<unsigned long> out;
  if (!d) return out;
  Window root = DefaultRootWindow(d);
  if (wmRunning()) {
    if (stacking) out = cardinals(d, root, "_NET_CLIENT_LIST_STACKING", XA_WINDOW);
    if (out.empty()) out = cardinals(d, root, "_NET_CLIENT_LIST", XA_WINDOW);
    if (!out.empty()) return out;
  }
  // Without a window manager the top-level windows are the root's children,
  // listed bottom to top.
  Window rootOut = None, parent = None;
  Window* kids = nullptr;
  unsigned int n = 0;
  if (XQueryTree(d, root, &rootOut, &parent, &kids, &n) && kids) {
    for (unsigned int i = 0; i < n; ++i) {
      XWindowAttributes a;
      if (XGetWindowAttributes(d, kids[i], &a) && a.map_state == IsViewable &&
          a.c_class == InputOutput)
        out.push_back(kids[i]);
    }
    XFree(kids);
  }
  return out;
}

std::optional<std::vector<WindowValue>> X11::windowList(
    const std::function<std::optional<std::string>(std::int64_t)>& ownerName) {
  Display* d = display();
  if (!d) return std::nullopt;
  std::vector<unsigned long> stack = clients(true);
  std::reverse(stack.begin(), stack.end());  // front to back
  Window root = DefaultRootWindow(d);
  std::vector<WindowValue> out;
  for (unsigned long id : stack) {
    Window w = static_cast<Window>(id);
    XWindowAttributes attrs;
    if (!XGetWindowAttributes(d, w, &attrs) || attrs.map_state != IsViewable) continue;
    std::string type = windowType(d, w, attrs.override_redirect);
    if (type == "DESKTOP") continue;
    auto pids = cardinals(d, w, "_NET_WM_PID", XA_CARDINAL);
    std::int64_t pid = pids.empty() ? 0 : static_cast<std::int64_t>(pids[0]);
    std::optional<std::string> owner;
    if (pid > 0) owner = ownerName(pid);
    if (!owner) owner = wmClassClass(d, w);
    int x = 0, y = 0;
    Window child = None;
    XTranslateCoordinates(d, w, root, 0, 0, &x, &y, &child);
    std::optional<std::string> name = textProperty(d, w, "_NET_WM_NAME", atom(d, "UTF8_STRING"));
    if (!name) name = textProperty(d, w, "WM_NAME", AnyPropertyType);

    WindowValue bounds;
    bounds.kind = WindowValue::Kind::Dictionary;
    bounds.dictionary = {field("Height", real(attrs.height)), field("Width", real(attrs.width)),
                         field("X", real(x)), field("Y", real(y))};
    WindowValue entry;
    entry.kind = WindowValue::Kind::Dictionary;
    entry.dictionary.push_back(field("kCGWindowNumber", integer(static_cast<std::int64_t>(w))));
    entry.dictionary.push_back(field("kCGWindowLayer", integer(layerOfType(type))));
    entry.dictionary.push_back(field("kCGWindowBounds", std::move(bounds)));
    if (pid > 0) entry.dictionary.push_back(field("kCGWindowOwnerPID", integer(pid)));
    if (owner) entry.dictionary.push_back(field("kCGWindowOwnerName", text(*owner)));
    if (name) entry.dictionary.push_back(field("kCGWindowName", text(*name)));
    out.push_back(std::move(entry));
  }
  return out;
}

std::optional<Point> X11::originOf(std::int64_t pid, const WindowHint* hint) {
  Display* d = display();
  if (!d || pid <= 0) return std::nullopt;
  Window root = DefaultRootWindow(d);
  struct Found {
    Point at;
    bool titled = false, sized = false;
  };
  std::vector<Found> found;
  for (unsigned long id : clients(false)) {
    Window w = static_cast<Window>(id);
    XWindowAttributes attrs;
    if (!XGetWindowAttributes(d, w, &attrs) || attrs.map_state != IsViewable) continue;
    auto pids = cardinals(d, w, "_NET_WM_PID", XA_CARDINAL);
    if (pids.empty() || static_cast<std::int64_t>(pids[0]) != pid) continue;
    int x = 0, y = 0;
    Window child = None;
    XTranslateCoordinates(d, w, root, 0, 0, &x, &y, &child);
    Found f{Point{double(x), double(y)}};
    if (hint) {
      std::optional<std::string> name = textProperty(d, w, "_NET_WM_NAME", atom(d, "UTF8_STRING"));
      if (!name) name = textProperty(d, w, "WM_NAME", AnyPropertyType);
      f.titled = name && *name == hint->title;
      f.sized =
          std::abs(attrs.width - hint->width) <= 1 && std::abs(attrs.height - hint->height) <= 1;
    }
    found.push_back(f);
  }
  if (found.size() == 1) return found.front().at;
  if (!hint) return std::nullopt;
  // Several windows: the title must tell them apart, or else the size.
  std::vector<const Found*> titled, both;
  for (const Found& f : found) {
    if (f.titled) titled.push_back(&f);
    if (f.titled && f.sized) both.push_back(&f);
  }
  if (titled.size() == 1) return titled.front()->at;
  if (both.size() == 1) return both.front()->at;
  return std::nullopt;
}

std::vector<Area> X11::screens() {
  std::vector<Area> out;
  Display* d = display();
  if (!d) return out;
  for (int i = 0; i < ScreenCount(d); ++i) {
    out.push_back(Area{{0, 0}, {double(DisplayWidth(d, i)), double(DisplayHeight(d, i))}});
  }
  return out;
}

void X11::activate(std::int64_t pid) {
  Display* d = display();
  if (!d || pid <= 0) return;
  std::vector<unsigned long> stack = clients(true);
  Window chosen = None, fallback = None;
  for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
    Window w = static_cast<Window>(*it);
    auto pids = cardinals(d, w, "_NET_WM_PID", XA_CARDINAL);
    if (pids.empty() || static_cast<std::int64_t>(pids[0]) != pid) continue;
    XWindowAttributes attrs;
    bool ok = XGetWindowAttributes(d, w, &attrs);
    if (ok && layerOfType(windowType(d, w, attrs.override_redirect)) == 0) {
      chosen = w;
      break;
    }
    if (fallback == None) fallback = w;
  }
  if (chosen == None) chosen = fallback;
  if (chosen == None) return;
  Window root = DefaultRootWindow(d);
  if (wmRunning()) {
    XEvent e;
    std::memset(&e, 0, sizeof e);
    e.xclient.type = ClientMessage;
    e.xclient.window = chosen;
    e.xclient.message_type = atom(d, "_NET_ACTIVE_WINDOW");
    e.xclient.format = 32;
    e.xclient.data.l[0] = 2;  // on the user's behalf, as a pager or task bar asks
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
  } else {
    XRaiseWindow(d, chosen);
    XSetInputFocus(d, chosen, RevertToParent, CurrentTime);
  }
  XSync(d, False);
}

}  // namespace ombru::ax::desktop
