#include "reader_atspi.hpp"

#include <atspi/atspi-constants.h>

#include <algorithm>
#include <climits>

#include "constants.hpp"
#include "roles_atspi.hpp"

namespace ombru::ax::desktop {

// A run of text between embedded objects of `owner`'s text, exposed as a
// static text of its own: characters [start, end) of the owner. A `whole`
// run is the name of a row that has no text inside: it lies where the row
// lies.
struct TreeReader::Run {
  Element owner;
  bool whole = false;
  std::int32_t start = 0, end = 0;
  std::string text;
  unsigned generation = 0;  // of `extents`
  std::optional<Extents> extents;
};

namespace {
// GTK 3 names its toolkit "gtk", GTK 4 "GTK".
bool isGtk(std::string_view toolkit) {
  return toolkit == "GTK" || toolkit == "gtk";
}
// U+FFFC, AT-SPI's stand-in for a child in its parent's text.
constexpr std::string_view kObjectReplacement = "\xEF\xBF\xBC";
}  // namespace

bool TreeReader::onScreen(States s, bool visibleCounts) {
  return has(s, ATSPI_STATE_SHOWING) || (visibleCounts && has(s, ATSPI_STATE_VISIBLE));
}

std::uint32_t TreeReader::coordType(bool window) {
  return window ? ATSPI_COORD_TYPE_WINDOW : ATSPI_COORD_TYPE_SCREEN;
}

std::optional<Extents> TreeReader::knownExtents(std::int32_t x, std::int32_t y, std::int32_t width,
                                                std::int32_t height) {
  if (x == INT_MIN || y == INT_MIN) return std::nullopt;
  return Extents{double(x), double(y), double(width), double(height)};
}

TreeReader::Facts* TreeReader::factsOf(const Element& e) {
  std::optional<AppFacts> a = app(e);
  if (!a || !a->key) return nullptr;
  auto it = facts_.find(a->key);
  if (it == facts_.end()) {
    Facts f;
    f.app = std::move(*a);
    it = facts_.emplace(f.app.key, std::move(f)).first;
  }
  return &it->second;
}

std::optional<Element> TreeReader::topLevelOf(const Element& e) {
  // Up the parents to the child of the application; each element met keeps
  // the answer, so the next element's walk ends at its parent.
  constexpr int kDeepest = 200;
  std::vector<const void*> met;
  Element at = e;
  std::optional<Element> top;
  for (int i = 0; i < kDeepest; ++i) {
    if (auto known = topLevel_.find(at.identity()); known != topLevel_.end()) {
      top = known->second;
      break;
    }
    met.push_back(at.identity());
    std::optional<Value> p = parent(at);
    if (!p || p->shape != Value::Shape::Element || p->elements.empty()) break;
    std::optional<int> r = role(p->elements.front());
    if (!r) break;
    if (*r == ATSPI_ROLE_APPLICATION) {
      top = at;
      break;
    }
    at = p->elements.front();
  }
  if (!top) return std::nullopt;
  for (const void* m : met) topLevel_[m] = *top;
  return top;
}

std::optional<Point> TreeReader::origin(const Element& e) {
  Facts* f = factsOf(e);
  if (!f || !originOf_ || f->app.pid <= 0) return std::nullopt;
  if (!f->originRead) {
    f->originRead = true;
    f->origin = originOf_(f->app.pid, nullptr);
  }
  if (f->origin) return f->origin;
  // Several windows: the element's own window, told by its title and size.
  std::optional<Element> top = topLevelOf(e);
  if (!top) return std::nullopt;
  auto known = windowOrigin_.find(top->identity());
  if (known != windowOrigin_.end()) return known->second;
  std::optional<Point> o;
  std::optional<std::string> title = name(*top);
  std::optional<Extents> size = extents(*top, true);
  if (title && size) {
    WindowHint hint{*title, size->width, size->height};
    o = originOf_(f->app.pid, &hint);
  }
  windowOrigin_[top->identity()] = o;
  return o;
}

bool TreeReader::windowRelative(const Element& e) {
  Facts* f = factsOf(e);
  return f && isGtk(f->app.toolkit) && f->app.version.rfind("4.", 0) == 0;
}

bool TreeReader::placed(const Element& e, States s) {
  // GTK 4.8 marks nothing below the window as showing, and GTK 3 stops
  // marking the rows of a list showing once the list has been scrolled,
  // though they are on screen; visible is the most either says. A row out
  // of view is then caught by the click guard, by its place.
  const bool toolkitDecides = !has(s, ATSPI_STATE_SHOWING) && has(s, ATSPI_STATE_VISIBLE);
  Facts* f = toolkitDecides ? factsOf(e) : nullptr;
  return onScreen(s, f && isGtk(f->app.toolkit));
}

std::optional<Value> TreeReader::value(const Element& e) {
  std::optional<bool> has = hasInterface(e, kTextIface);
  if (!has) return std::nullopt;
  if (*has) {
    std::optional<std::string> t = text(e);
    if (!t) return std::nullopt;
    return Value::ofText(withoutObjectReplacement(*t));
  }
  if (hasInterface(e, kValueIface).value_or(false)) {
    std::optional<double> v = valueProperty(e, "CurrentValue");
    if (!v) return std::nullopt;
    return Value::ofNumber(*v);
  }
  return std::nullopt;
}

std::optional<Extents> TreeReader::frame(const Element& e) {
  // Only what is on screen has a frame: GTK answers INT_MIN for the rest and
  // Chromium answers the off-screen place, so the state decides.
  std::optional<States> s = states(e);
  if (!s || !placed(e, *s)) return std::nullopt;
  if (!windowRelative(e)) {
    std::optional<Extents> x = extents(e, false);
    if (x) return x;
    // GTK 3 tests whether an element is on screen by its place within its
    // parent against how far its list has scrolled, so an element nested in
    // a scrolled list's row has no place, on screen or not. Its text is
    // placed truly: that place stands for the element's.
    Facts* f = factsOf(e);
    if (!f || !isGtk(f->app.toolkit)) return std::nullopt;
    std::optional<std::string> all = text(e);
    if (!all || all->empty()) return std::nullopt;
    std::int32_t chars = 0;
    for (unsigned char c : *all) chars += (c & 0xC0) != 0x80;
    x = rangeExtents(e, 0, chars, false);
    if (!x || !(x->width > 0 && x->height > 0)) return std::nullopt;
    return x;
  }
  std::optional<Point> o = origin(e);
  // Never a window-relative place taken for a screen one.
  if (!o) return std::nullopt;
  std::optional<Extents> x = extents(e, true);
  if (x) {
    x->x += o->x;
    x->y += o->y;
  }
  return x;
}

std::shared_ptr<TreeReader::Run> TreeReader::runOf(const Element& e) {
  if (runs_.empty()) return nullptr;
  auto it = runs_.find(e.identity());
  if (it == runs_.end()) return nullptr;
  std::shared_ptr<Run> r = it->second.lock();
  if (!r) runs_.erase(it);
  return r;
}

std::shared_ptr<TreeReader::Run> TreeReader::runAt(const Element& owner, std::int32_t from) {
  // One run object per place while any handle to it lives, so two reads of
  // the same run give the same element.
  std::weak_ptr<Run>& slot = runAt_[{owner.identity(), from}];
  std::shared_ptr<Run> r = slot.lock();
  if (!r || !(r->owner == owner)) {
    r = std::make_shared<Run>();
    r->owner = owner;
    slot = r;
  }
  runs_[r.get()] = r;
  return r;
}

std::optional<std::string> TreeReader::shownName(const Element& e) {
  std::optional<std::string> n = name(e);
  if (n && isClassName(*n)) {
    Facts* f = factsOf(e);
    if (f && isGtk(f->app.toolkit)) n = std::string();
  }
  return n;
}

std::optional<Value> TreeReader::nameAsText(const Element& e) {
  // GTK and Qt item views make a row (a list item, a tree item, a table
  // cell) one element that carries its name and holds no text element,
  // where the macOS toolkit puts a static text inside the row's cell. That
  // text is made here, so the row is found as any other.
  std::optional<int> r = role(e);
  if (!r ||
      (*r != ATSPI_ROLE_TABLE_CELL && *r != ATSPI_ROLE_TREE_ITEM && *r != ATSPI_ROLE_LIST_ITEM)) {
    return std::nullopt;
  }
  std::optional<std::string> n = shownName(e);
  if (!n || n->find_first_not_of(" \t\n\r") == std::string::npos) {
    return std::nullopt;
  }
  std::shared_ptr<Run> run = runAt(e, kWholeRun);
  if (!run->whole || run->text != *n) run->generation = 0;
  run->whole = true;
  run->text = std::move(*n);
  return Value::ofElements({Element(std::static_pointer_cast<void>(run))});
}

bool TreeReader::isStackPage(std::string_view name) {
  return name == "GtkStackPage";
}

std::optional<Pixel> TreeReader::centreOf(const Extents& x) {
  if (!(x.width > 0 && x.height > 0)) return std::nullopt;
  return pixelOf({x.x + x.width / 2, x.y + x.height / 2});
}

std::optional<Element> TreeReader::centreHit(const Element& e) {
  std::optional<Extents> x = extents(e, true);
  std::optional<Pixel> c = x ? centreOf(*x) : std::nullopt;
  if (!c) return std::nullopt;
  return hit(e, c->x, c->y, true);
}

void TreeReader::dropHiddenPages(const Element& e, std::vector<Element>& kids) {
  // GTK 4.8 keeps every page of a stack in the tree, each at the place it
  // had when last shown, and marks none as showing: the page the hit test
  // reaches at the stack's centre is the one on screen. Where the hit test
  // tells nothing, every page stays.
  auto page = [this](const Element& k) {
    std::optional<std::string> n = name(k);
    return n && isStackPage(*n);
  };
  if (std::count_if(kids.begin(), kids.end(), page) < 2) return;
  std::optional<Element> at = centreHit(e);
  std::optional<Element> below;  // the element met last before the stack
  constexpr int kDeepest = 200;
  for (int i = 0; at && !(*at == e) && i < kDeepest; ++i) {
    below = at;
    std::optional<Value> p = parent(*at);
    if (!p || p->shape != Value::Shape::Element || p->elements.empty()) return;
    at = p->elements.front();
  }
  if (!at || !(*at == e) || !below || !page(*below)) return;
  const Element shown = *below;
  kids.erase(std::remove_if(kids.begin(), kids.end(),
                            [&](const Element& k) { return !(k == shown) && page(k); }),
             kids.end());
}

std::optional<Value> TreeReader::childrenWithRuns(const Element& e) {
  std::optional<std::vector<Element>> kids = children(e, true);
  if (!kids) return std::nullopt;
  if (kids->empty()) {
    if (std::optional<Value> named = nameAsText(e)) return named;
  }
  if (windowRelative(e)) dropHiddenPages(e, *kids);
  Facts* f = factsOf(e);
  if (f && f->app.toolkit == "Qt" && !kids->empty()) {
    // Qt marks the items of a view showing by the view's own place, even on
    // a tab page that is hidden: below an element that is neither showing
    // nor visible nothing is on screen, and nothing is listed.
    std::optional<States> s = states(e);
    if (s && !has(*s, ATSPI_STATE_SHOWING) && !has(*s, ATSPI_STATE_VISIBLE)) {
      return Value::ofElements({});
    }
  }
  // Firefox keeps the text of an element in the element's own text, with
  // one U+FFFC for each child, and has no text elements of its own: each
  // run of text between children becomes a static text, in its place among
  // the children. Fields keep their text as their value.
  if (!f || f->app.toolkit != "Gecko") return Value::ofElements(std::move(*kids));
  std::optional<States> s = states(e);
  std::optional<int> r = role(e);
  if (!s || !r || has(*s, ATSPI_STATE_EDITABLE)) return Value::ofElements(std::move(*kids));
  switch (*r) {
    // Controls whose text is their own name, as Chromium shows them: no
    // text elements inside.
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_TOGGLE_BUTTON:
    case ATSPI_ROLE_CHECK_BOX:
    case ATSPI_ROLE_RADIO_BUTTON:
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
    case ATSPI_ROLE_PAGE_TAB:
    case ATSPI_ROLE_COMBO_BOX:
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PASSWORD_TEXT:
      return Value::ofElements(std::move(*kids));
    default:
      break;
  }
  std::optional<std::string> all = text(e);
  if (!all) return Value::ofElements(std::move(*kids));
  const std::string& t = *all;
  std::vector<Element> merged;
  std::size_t child = 0;
  std::int32_t at = 0, runFrom = 0;  // in characters, as the Text interface counts
  std::size_t byteFrom = 0;
  auto endRun = [&](std::size_t byteTo, std::int32_t to) {
    std::string run = t.substr(byteFrom, byteTo - byteFrom);
    if (run.find_first_not_of(" \t\n\r") == std::string::npos) return;
    std::shared_ptr<Run> r = runAt(e, runFrom);
    if (r->end != to || r->text != run) r->generation = 0;
    r->start = runFrom;
    r->end = to;
    r->text = std::move(run);
    merged.push_back(Element(std::static_pointer_cast<void>(r)));
  };
  for (std::size_t i = 0; i < t.size();) {
    if (t.compare(i, kObjectReplacement.size(), kObjectReplacement) == 0) {
      endRun(i, at);
      // More placeholders than children: the text is not as it seems.
      if (child >= kids->size()) return Value::ofElements(std::move(*kids));
      merged.push_back((*kids)[child++]);
      i += kObjectReplacement.size();
      ++at;
      byteFrom = i;
      runFrom = at;
      continue;
    }
    const unsigned char c = static_cast<unsigned char>(t[i]);
    i += c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    ++at;
  }
  endRun(t.size(), at);
  // Only where every child is an embedded object does the text between
  // them belong to no element.
  if (child != kids->size()) return Value::ofElements(std::move(*kids));
  return Value::ofElements(std::move(merged));
}

std::optional<Value> TreeReader::runRead(Run& run, std::string_view attribute) {
  if (attribute == attr::kChildren) return Value::ofElements({});
  if (attribute == attr::kRole) return Value::ofText("AXStaticText");
  if (attribute == attr::kValue) return Value::ofText(run.text);
  if (attribute == attr::kTitle || attribute == attr::kDescription) return Value::ofText("");
  if (attribute == attr::kParent) return Value::ofElement(run.owner);
  if (attribute == attr::kFocused) return Value::ofBoolean(false);
  if (attribute != attr::kPosition && attribute != attr::kSize) return std::nullopt;
  if (run.generation != generation_) {
    run.generation = generation_;
    run.extents.reset();
    if (run.whole) {
      run.extents = frame(run.owner);
    } else {
      // The run's extents, as the owner's text places its characters; only
      // while the owner is on screen (see frame()).
      std::optional<States> s = states(run.owner);
      if (s && placed(run.owner, *s)) {
        const bool relative = windowRelative(run.owner);
        std::optional<Point> o = relative ? origin(run.owner) : std::nullopt;
        if (!relative || o) {
          run.extents = rangeExtents(run.owner, run.start, run.end, relative);
          if (run.extents && o) {
            run.extents->x += o->x;
            run.extents->y += o->y;
          }
        }
      }
    }
  }
  const std::optional<Extents>& e = run.extents;
  if (!e || !(e->width > 0 && e->height > 0)) return std::nullopt;
  if (attribute == attr::kPosition) return Value::ofPoint(Point{e->x, e->y});
  return Value::ofSize(Size{e->width, e->height});
}

std::optional<Value> TreeReader::windows(const Element& e) {
  std::optional<std::vector<Element>> kids = children(e, false);
  if (!kids) return std::nullopt;
  std::vector<TopLevel> found;
  for (Element& child : *kids) {
    std::optional<int> r = role(child);
    if (!r) continue;
    TopLevel t{child, *r};
    if (std::optional<States> s = states(child)) {
      t.active = has(*s, ATSPI_STATE_ACTIVE);
      t.showing = has(*s, ATSPI_STATE_SHOWING);
    }
    found.push_back(std::move(t));
  }
  return rankWindows(found);
}

std::optional<Value> TreeReader::verticalBar(const Element& e) {
  // A scroll area's vertical scroll bar among its children (GTK 2 and 3),
  // or alone inside one of them: the range of a GTK 4 scroll bar, or the
  // scroll bar in Qt's container beside the viewport.
  // Qt sets neither orientation state on its scroll bars: one taller than
  // wide stands upright.
  auto isBar = [&](const Element& c) {
    std::optional<States> s = states(c);
    if (!s || has(*s, ATSPI_STATE_HORIZONTAL)) return false;
    if (!has(*s, ATSPI_STATE_VERTICAL)) {
      std::optional<Extents> x = extents(c, false);
      if (!x || !(x->height > x->width)) return false;
    }
    return valueProperty(c, "MaximumValue").has_value();
  };
  std::optional<std::vector<Element>> kids = children(e, false);
  if (!kids) return std::nullopt;
  for (const Element& c : *kids) {
    std::optional<int> r = role(c);
    if (!r || (*r != ATSPI_ROLE_SCROLL_BAR && *r != ATSPI_ROLE_FILLER)) continue;
    if (*r == ATSPI_ROLE_SCROLL_BAR && isBar(c)) return Value::ofElement(c);
    std::optional<std::vector<Element>> inner = children(c, false);
    if (!inner || inner->size() != 1) continue;
    std::optional<int> ir = role(inner->front());
    if (!ir) continue;
    const bool barInside = *r == ATSPI_ROLE_FILLER ? *ir == ATSPI_ROLE_SCROLL_BAR : true;
    if (barInside && isBar(inner->front())) return Value::ofElement(inner->front());
  }
  return std::nullopt;
}

std::optional<Value> TreeReader::read(const Element& element, std::string_view attribute) {
  // Position and size come from one frame; the size read that directly
  // follows the position read of the same element takes the other half, so
  // a frame is one consistent snapshot.
  const void* pendingOf = lastFrameOf_;
  std::optional<Extents> pending = std::move(lastFrame_);
  lastFrameOf_ = nullptr;
  lastFrame_.reset();
  if (!element) return std::nullopt;
  if (std::shared_ptr<Run> run = runOf(element)) return runRead(*run, attribute);

  if (attribute == attr::kChildren) return childrenWithRuns(element);
  if (attribute == attr::kWindows) return windows(element);
  if (attribute == attr::kRole) {
    std::optional<int> r = role(element);
    if (!r) return std::nullopt;
    bool multi = false;
    if (*r == ATSPI_ROLE_TEXT || *r == ATSPI_ROLE_ENTRY) {
      std::optional<States> s = states(element);
      multi = s && has(*s, ATSPI_STATE_MULTI_LINE);
    }
    return Value::ofText(roleName(*r, multi));
  }
  if (attribute == attr::kValue) return value(element);
  if (attribute == attr::kTitle || attribute == attr::kDescription) {
    std::optional<std::string> s =
        attribute == attr::kTitle ? shownName(element) : description(element);
    if (!s) return std::nullopt;
    return Value::ofText(std::move(*s));
  }
  if (attribute == attr::kPlaceholderValue) return placeholder(element);
  if (attribute == attr::kPosition) {
    std::optional<Extents> e = frame(element);
    if (!e) return std::nullopt;
    lastFrameOf_ = element.identity();
    lastFrame_ = e;
    return Value::ofPoint(Point{e->x, e->y});
  }
  if (attribute == attr::kSize) {
    std::optional<Extents> e =
        pending && pendingOf == element.identity() ? pending : frame(element);
    if (!e) return std::nullopt;
    return Value::ofSize(Size{e->width, e->height});
  }
  if (attribute == attr::kParent) return parent(element);
  if (attribute == attr::kVerticalScrollBar) return verticalBar(element);
  if (attribute == attr::kEditable) {
    std::optional<States> s = states(element);
    if (!s) return std::nullopt;
    return Value::ofBoolean(has(*s, ATSPI_STATE_EDITABLE));
  }
  if (attribute == attr::kMinValue || attribute == attr::kMaxValue ||
      attribute == attr::kLineStep) {
    std::optional<double> v =
        valueProperty(element, attribute == attr::kMinValue   ? "MinimumValue"
                               : attribute == attr::kMaxValue ? "MaximumValue"
                                                              : "MinimumIncrement");
    if (!v) return std::nullopt;
    return Value::ofNumber(*v);
  }
  if (attribute == attr::kFocused) {
    // As libatspi does, an unanswered state read is an empty set.
    std::optional<States> s = states(element);
    return Value::ofBoolean(s && has(*s, ATSPI_STATE_FOCUSED));
  }
  return std::nullopt;
}

bool TreeReader::setNumber(const Element& element, double value) {
  lastFrame_.reset();
  if (!element || runOf(element)) return false;
  return setCurrentValue(element, value);
}

bool TreeReader::grabFocus(const Element& element) {
  lastFrame_.reset();
  if (!element || runOf(element)) return false;
  return focus(element);
}

std::optional<std::vector<std::string>> TreeReader::actions(const Element& element) {
  lastFrame_.reset();
  if (!element) return std::nullopt;
  if (runOf(element)) return std::vector<std::string>{};
  std::optional<std::vector<std::string>> names = actionNames(element);
  if (!names) return std::nullopt;
  std::vector<std::string> out;
  for (const std::string& n : *names) addAction(out, actionName(n));
  return out;
}

bool TreeReader::perform(const Element& element, std::string_view wanted) {
  lastFrame_.reset();
  if (!element || runOf(element)) return false;
  std::optional<std::vector<std::string>> names = actionNames(element);
  if (!names) return false;
  for (std::size_t i = 0; i < names->size(); ++i) {
    if (actionName((*names)[i]) == wanted) return doAction(element, static_cast<std::int32_t>(i));
  }
  return false;
}

std::optional<Element> TreeReader::atPoint(const Element& element, Point at) {
  lastFrame_.reset();
  if (!element || runOf(element)) return std::nullopt;
  // The pixel a click at this point would reach, in the coordinates the
  // toolkit answers in.
  std::optional<Pixel> p = pixelOf(at);
  if (!p) return std::nullopt;
  const bool relative = windowRelative(element);
  if (relative) {
    std::optional<Point> o = origin(element);
    std::optional<Pixel> corner = o ? pixelOf(*o) : std::nullopt;
    if (!corner) return std::nullopt;
    p->x -= corner->x;
    p->y -= corner->y;
  }
  return hit(element, p->x, p->y, relative);
}

std::string TreeReader::toolkit(const Element& application) {
  if (!application || runOf(application)) return "";
  Facts* f = factsOf(application);
  return f ? f->app.toolkit : std::string();
}

bool TreeReader::busy(const Element& element) {
  if (!element || runOf(element)) return false;
  std::optional<States> s = states(element);
  return s && has(*s, ATSPI_STATE_BUSY);
}

void TreeReader::invalidate() {
  lastFrame_.reset();
  ++generation_;
  forget();
}

void TreeReader::release() {
  lastFrame_.reset();
  runs_.clear();
  runAt_.clear();
  facts_.clear();
  topLevel_.clear();
  windowOrigin_.clear();
  drop();
}

std::string withoutObjectReplacement(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    if (text.compare(i, kObjectReplacement.size(), kObjectReplacement) == 0) {
      i += kObjectReplacement.size();
    } else {
      out.push_back(text[i]);
      ++i;
    }
  }
  return out;
}

bool isClassName(std::string_view name) {
  static constexpr std::string_view kPrefixes[] = {"Gtk", "Adw", "Hdy", "Gdk", "Gsk", "Vte"};
  static constexpr std::string_view kScripted = "Gjs_";  // classes made in JavaScript
  for (char c : name) {
    const bool word =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!word) return false;
  }
  if (name.size() > kScripted.size() && name.substr(0, kScripted.size()) == kScripted) return true;
  for (std::string_view p : kPrefixes) {
    if (name.size() > p.size() && name.substr(0, p.size()) == p && name[p.size()] >= 'A' &&
        name[p.size()] <= 'Z') {
      return true;
    }
  }
  return false;
}

Value rankWindows(const std::vector<TopLevel>& children) {
  std::vector<Element> ranked[3];
  for (const TopLevel& c : children) {
    if (!isTopLevelRole(c.role)) continue;
    ranked[c.active ? 0 : c.showing ? 1 : 2].push_back(c.element);
  }
  for (int i = 1; i < 3; ++i) ranked[0].insert(ranked[0].end(), ranked[i].begin(), ranked[i].end());
  return Value::ofElements(std::move(ranked[0]));
}

void addAction(std::vector<std::string>& names, std::string name) {
  if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
}

}  // namespace ombru::ax::desktop
