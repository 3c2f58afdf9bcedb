#include <array>
#include <string>

#include "constants.hpp"
#include "text.hpp"
#include "tool.hpp"

namespace ombru::ax {

using namespace std::chrono_literals;

namespace {

void say(Tool& t, std::string_view line) {
  std::string out(line);
  out += '\n';
  t.platform.writeOut(out);
}

std::string num(double v) {
  return std::to_string(text::truncate(v));
}

void activate(Tool& t) {
  t.platform.activate(t.target);
}

const WindowValue* lookup(const WindowValue& dict, std::string_view key) {
  for (const WindowField& f : dict.dictionary) {
    if (f.key == key) return &f.value;
  }
  return nullptr;
}

}  // namespace

// Windows.

bool isTargetWindow(const WindowValue& entry, std::string_view appName) {
  if (entry.kind != WindowValue::Kind::Dictionary) return false;
  const WindowValue* owner = lookup(entry, "kCGWindowOwnerName");
  const std::string ownerName =
      owner != nullptr && owner->kind == WindowValue::Kind::Text ? owner->text : std::string();
  if (!text::equal(ownerName, appName)) return false;
  if (entry.dictionary.empty()) return false;
  const WindowValue* layer = lookup(entry, "kCGWindowLayer");
  if (layer == nullptr || layer->kind != WindowValue::Kind::Integer || layer->integer != 0) {
    return false;
  }
  const WindowValue* bounds = lookup(entry, "kCGWindowBounds");
  if (bounds == nullptr || bounds->kind != WindowValue::Kind::Dictionary) return false;
  const WindowValue* height = lookup(*bounds, "Height");
  if (height == nullptr) return false;
  if (height->kind == WindowValue::Kind::Integer)
    return static_cast<double>(height->integer) > 200.0;
  if (height->kind == WindowValue::Kind::Real) return height->real > 200.0;
  return false;
}

int windowsCommand(Tool& t) {
  std::optional<std::vector<WindowValue>> list = t.platform.windowList();
  std::size_t count = 0;
  if (list) {
    bool wellFormed = true;
    for (const WindowValue& e : *list) {
      if (e.kind != WindowValue::Kind::Dictionary) wellFormed = false;
    }
    if (wellFormed) {
      for (const WindowValue& e : *list) {
        if (isTargetWindow(e, t.appName)) ++count;
      }
    }
  }
  say(t, std::to_string(count));
  return 0;
}

// Rows.

namespace {

void rewake(Tool& t) {
  wake(t);
}

void upward(Tool& t, const Element& window, int steps) {
  for (int i = 0; i < steps; ++i) scrollSidebar(t, window, -kScrollNotches);
}

// The hit to act on: its frame confirmed, and its centre in view and not
// covered. Anything else is not found this round.
std::optional<Hit> reachable(Tool& t, const Element& window, const Hit& hit,
                             const std::vector<Hit>& list) {
  std::optional<Rect> f = frame(t, window);
  if (!f) return std::nullopt;
  std::optional<Hit> now = confirmed(t, hit, f->minX() + kSidebarWidth);
  if (!now) return std::nullopt;
  std::optional<Rect> part = visiblePart(t, window, *now);
  if (!part) return std::nullopt;
  now->visible = *part;
  if (!inView(t, window, *now, list)) return std::nullopt;
  return now;
}

// The row to act on in this list, found and reachable.
std::optional<Hit> actionable(Tool& t, const Element& window, const std::vector<Hit>& list,
                              const std::string& name) {
  std::optional<Hit> hit = findRow(t, list, name);
  if (!hit) return std::nullopt;
  return reachable(t, window, *hit, list);
}

// Scrolls down up to `steps` times, searching after each step; the number
// of steps made so far is left in `made`. With `act`, a row counts only
// once its frame is confirmed.
std::optional<Hit> scrollSearch(Tool& t, const Element& window, const std::string& name, int steps,
                                std::vector<Hit>& list, int& made, bool act = false) {
  made = 0;
  for (int i = 1; i <= steps; ++i) {
    scrollSidebar(t, window, kScrollNotches);
    made = i;
    list = rows(t, window);
    std::optional<Hit> hit = act ? actionable(t, window, list, name) : findRow(t, list, name);
    if (hit) return hit;
  }
  return std::nullopt;
}

std::optional<Hit> searchAgain(Tool& t, const Element& window, const std::string& name) {
  std::vector<Hit> list = rows(t, window);
  if (std::optional<Hit> hit = actionable(t, window, list, name)) return hit;
  int made = 0;
  return scrollSearch(t, window, name, kSearchSteps, list, made, true);
}

int result(Tool& t, const Hit& hit, bool click) {
  if (!click) {
    say(t, "yes " + hit.text + " @ " + num(hit.rect.minX()) + "," + num(hit.rect.minY()) + " " +
               num(hit.rect.w()) + "x" + num(hit.rect.h()) + " " + role(t, hit.element));
    return 0;
  }
  say(t, (press(t, hit) ? "yes " : "no press ") + hit.text);
  return 0;
}

}  // namespace

bool isGroupButton(Tool& t, const Hit& hit, std::string_view group) {
  return role(t, hit.element) == "AXButton" &&
         text::equal(text::lower(hit.text), text::lower(group));
}

int textCommand(Tool& t) {
  activate(t);
  std::optional<Element> window = frontWindow(t);
  if (!window) {
    say(t, "no window");
    return 4;
  }
  for (int attempt = 0; attempt < kTextAttempts; ++attempt) {
    std::vector<Hit> list;
    if (std::optional<Rect> f = frame(t, *window)) {
      collect(t, *window, f->maxX() + 1.0, list, 0, true);
    }
    if (list.size() > kPopulated) {
      for (const Hit& h : list) say(t, num(h.rect.minX()) + "\t" + text::lineFeedsToSpaces(h.text));
      return 0;
    }
    rewake(t);
    t.platform.sleepFor(kAttemptPause);
  }
  return 0;
}

int rowCommand(Tool& t, bool click) {
  if (t.wanted.empty()) {
    say(t, "no names");
    return 2;
  }
  const std::string name = t.wanted[0];
  std::string group;
  for (std::size_t i = 0; i < t.wanted.size(); ++i) {
    if (t.wanted[i] == "--group") {
      if (i + 1 < t.wanted.size()) group = t.wanted[i + 1];
      break;
    }
  }

  activate(t);
  std::optional<Element> found = frontWindow(t);
  if (!found) {
    say(t, "no window");
    return 4;
  }
  const Element window = *found;

  std::vector<Hit> list = rows(t, window);
  for (int n = 0; list.size() <= kPopulated && n < kRowAttempts; ++n) {
    rewake(t);
    t.platform.sleepFor(kAttemptPause);
    list = rows(t, window);
  }
  if (list.empty()) {
    say(t, "no tree");
    return 0;
  }

  if (std::optional<Hit> hit = actionable(t, window, list, name)) return result(t, *hit, click);

  int made = 0;
  if (scrollSearch(t, window, name, kSearchSteps, list, made)) {
    upward(t, window, made + kReturnExtra);
  } else {
    bool foundInGroup = false;
    if (!group.empty()) {
      const Hit* button = nullptr;
      for (const Hit& h : list) {
        if (isGroupButton(t, h, group)) {
          button = &h;
          break;
        }
      }
      std::optional<Hit> pressed;
      if (button != nullptr) pressed = reachable(t, window, *button, list);
      if (pressed) {
        press(t, *pressed);
        t.platform.sleepFor(kGroupOpenPause);
        list = rows(t, window);
        foundInGroup = findRow(t, list, name).has_value() ||
                       scrollSearch(t, window, name, kGroupSearchSteps, list, made).has_value();
      }
    }
    upward(t, window, kReturnSteps);
    if (!foundInGroup) {
      say(t, "no");
      return 0;
    }
  }

  if (std::optional<Hit> hit = searchAgain(t, window, name)) return result(t, *hit, click);
  say(t, "no");
  return 0;
}

// Conversation, field and hold.

int conversationCommand(Tool& t, bool probe) {
  std::optional<Element> window = frontWindow(t);
  if (!window) {
    t.platform.writeErr("no-windows\n");
    return 4;
  }
  std::optional<Element> web = findWebArea(t, *window, 0);
  if (!web) web = findWebArea(t, t.axApp, 0);
  // A native client shows its conversation without a web area; its lines
  // are read the same way.
  if (!web) web = findConversation(t, *window);
  if (!web) {
    t.platform.writeErr("no-web-area\n");
    return 5;
  }
  t.web = *web;
  if (probe) {
    std::vector<std::string> lines;
    textOf(t, t.web, lines, 0);
    say(t, "web-area-reachable lines=" + std::to_string(lines.size()));
    return 0;
  }
  t.lines.clear();
  textOf(t, t.web, t.lines, 0);
  std::string joined;
  for (std::size_t i = 0; i < t.lines.size(); ++i) {
    if (i > 0) joined += '\n';
    joined += t.lines[i];
  }
  say(t, joined);
  return 0;
}

bool namesMessageInput(std::string_view description) {
  static constexpr std::array<std::string_view, 8> kFieldKeywords = {
      "ask", "message", "send", "reply", "type", "chat", "prompt", "talk"};
  const std::string lowered = text::lower(description);
  for (std::string_view k : kFieldKeywords) {
    if (lowered.find(k) != std::string::npos) return true;
  }
  return false;
}

void sortFields(std::vector<FieldCandidate>& candidates) {
  // Insertion sort: stable, and safe even when a bottom edge that is not a
  // number makes the ordering inconsistent.
  std::vector<bool> named;
  named.reserve(candidates.size());
  for (const FieldCandidate& c : candidates) named.push_back(namesMessageInput(c.description));
  auto precedes = [&](std::size_t a, std::size_t b) {
    if (named[a] != named[b]) return static_cast<bool>(named[a]);
    return candidates[a].frame.maxY() > candidates[b].frame.maxY();
  };
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    std::size_t at = order.size();
    while (at > 0 && precedes(i, order[at - 1])) --at;
    order.insert(order.begin() + static_cast<std::ptrdiff_t>(at), i);
  }
  std::vector<FieldCandidate> sorted;
  sorted.reserve(candidates.size());
  for (std::size_t i : order) sorted.push_back(std::move(candidates[i]));
  candidates = std::move(sorted);
}

int fieldCommand(Tool& t) {
  activate(t);
  std::optional<Element> window = frontWindow(t);
  if (!window) {
    say(t, "no window");
    return 4;
  }
  std::vector<FieldCandidate> candidates;
  for (int attempt = 0; attempt < kFieldAttempts && candidates.empty(); ++attempt) {
    gather(t, *window, 0, candidates);
    if (candidates.empty()) {
      rewake(t);
      t.platform.sleepFor(kFieldAttemptPause);
    }
  }
  if (candidates.empty()) {
    say(t, "no field");
    return 0;
  }
  sortFields(candidates);
  const FieldCandidate& chosen = candidates.front();
  Platform& p = t.platform;
  p.setBoolAttribute(chosen.element, attr::kFocused, true);
  p.sleepFor(kFocusPause);
  const Point at{chosen.frame.midX(), chosen.frame.midY()};
  if (EventRef down = p.createMouseEvent(MouseEventType::LeftDown, at)) {
    if (EventRef up = p.createMouseEvent(MouseEventType::LeftUp, at)) {
      p.post(*down);
      p.sleepFor(kFieldClickPause);
      p.post(*up);
    }
  }
  say(t, "yes " + text::graphemePrefix(text::trimSpacesAndTabs(chosen.description),
                                       kFieldDescriptionLength));
  return 0;
}

int holdCommand(Tool& t) {
  wake(t);
  t.platform.sleepFor(kHoldStartPause);
  for (;;) {
    std::optional<Value> windows = copyAttr(t, t.axApp, attr::kWindows);
    if (windows && windows->shape == Value::Shape::Elements && !windows->elements.empty() &&
        windows->elements[0]) {
      copyAttr(t, windows->elements[0], attr::kChildren);
    } else {
      rewake(t);
    }
    t.platform.sleepFor(kHoldInterval);
  }
}

}  // namespace ombru::ax
