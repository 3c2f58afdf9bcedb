// The live menu is reconciled with each new tree, not rebuilt: it must end up
// equal to a fresh build, keep every action that still stands, and write
// only what changed.

#include <gtest/gtest.h>

#include <QPointer>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "qt_support.hpp"

namespace ombru::menu::qt::test {
namespace {

namespace fs = std::filesystem;

// A QMenu tree as text: everything the user or a desktop shell can see.
std::string describe(QMenu* menu, const std::string& indent = "") {
  std::string out;
  for (QAction* a : menu->actions()) {
    if (a->isSeparator()) {
      out += indent + "---\n";
      continue;
    }
    out += indent + a->text().toStdString() + (a->isEnabled() ? " enabled" : " disabled") +
           (a->isCheckable() ? (a->isChecked() ? " [x]" : " [ ]") : "") +
           " key=" + a->shortcut().toString().toStdString() +
           (a->font().weight() == QFont::DemiBold ? " header" : "") + "\n";
    if (a->menu()) out += describe(a->menu(), indent + "  ");
  }
  return out;
}

// A renderer on a menu of its own that records what its entries hand over.
struct Rendered {
  QApplication& qt = app();  // before any widget
  QMenu menu;
  std::vector<Item> chosen;
  MenuRenderer renderer{[this](const Item& item) { chosen.push_back(item); }};

  void show(const State& state) { renderer.render(&menu, buildMenu(state)); }
};

// Triggers every entry with an action and expects it to hand over the item
// of the tree at its place (title, represented object, check mark as shown).
void expectChoices(Rendered& r, QMenu* menu, const Menu& items, const std::string& where) {
  const auto acts = menu->actions();
  ASSERT_EQ(static_cast<size_t>(acts.size()), items.size()) << where;
  for (size_t i = 0; i < items.size(); ++i) {
    const Item& it = items[i];
    const std::string at = where + "/" + std::to_string(i) + " " + it.title;
    if (it.hasSubmenu()) expectChoices(r, acts[static_cast<qsizetype>(i)]->menu(), it.submenu, at);
    if (!it.hasAction()) continue;
    r.chosen.clear();
    acts[static_cast<qsizetype>(i)]->trigger();  // flips a checkable mark, as a click does
    ASSERT_EQ(r.chosen.size(), 1u) << at;
    EXPECT_EQ(r.chosen[0], it) << at;
  }
}

void expectFresh(Rendered& r, const State& state, const std::string& where) {
  const Menu tree = buildMenu(state);
  expectRendered(&r.menu, tree, where);
  Rendered fresh;
  fresh.show(state);
  EXPECT_EQ(describe(&r.menu), describe(&fresh.menu)) << where;
}

std::vector<std::pair<std::string, State>> goldenStates() {
  std::vector<std::pair<std::string, State>> out;
  for (const auto& e : fs::directory_iterator(OMBRU_MENU_GOLDEN_DIR)) {
    if (e.path().extension() != ".json") continue;
    std::ifstream in(e.path(), std::ios::binary);
    const std::string body{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    out.emplace_back(e.path().stem().string(), decodeState(body));
  }
  std::sort(out.begin(), out.end(), [](auto& a, auto& b) { return a.first < b.first; });
  return out;
}

TEST(MenuQtReconcile, EveryGoldenLayoutAfterEveryOtherEqualsAFreshBuild) {
  const auto golden = goldenStates();
  ASSERT_GE(golden.size(), 10u);
  for (const auto& [fromName, from] : golden)
    for (const auto& [toName, to] : golden) {
      const std::string where = fromName + " -> " + toName;
      Rendered r;
      r.show(from);
      r.show(to);
      expectFresh(r, to, where);
      expectChoices(r, &r.menu, buildMenu(to), where);
      r.show(to);  // puts back the marks the clicks flipped
      expectRendered(&r.menu, buildMenu(to), where + " after clicks");
      if (from == to) {
        EXPECT_EQ(r.renderer.lastChanges().created, 0) << where;
        EXPECT_EQ(r.renderer.lastChanges().removed, 0) << where;
      }
    }
}

// Random states drawn from small pools, so that sessions come, go, move
// between hosts and change order, and texts and marks change under them.
class StateSource {
 public:
  explicit StateSource(unsigned seed) : rng_(seed) {}

  State next(const State& last) { return last.running && pick(3) != 0 ? nudge(last) : fresh(); }

 private:
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  template <class T>
  const T& any(const std::vector<T>& pool) {
    return pool[pick(pool.size())];
  }
  std::string text() { return any<std::string>({"", "parser", "R&D", "docs", "Ünïcode"}); }

  Active session() {
    Active a;
    a.key = "k" + std::to_string(pick(6));
    a.host = any<std::string>({"Terminal", "Code", ""});
    a.title = any<std::string>({"Fix the parser", "Write docs", std::string(45, 'x')});
    a.spoken = any<std::string>({"parser", "docs", "notes"});
    a.state = any<std::string>({"", "busy"});
    a.idle = static_cast<std::int64_t>(pick(4));
    a.loopOn = pick(2) != 0;
    a.minutes = any<double>({2, 5, 10, 10.9, 15, 60});
    a.nextIn = static_cast<std::int64_t>(pick(700));
    return a;
  }

  State fresh() {
    State s;
    s.running = pick(8) != 0;
    s.muted = pick(2) != 0;
    s.chat = pick(2) != 0;
    s.bound = text();
    s.voice = text();
    s.hearing = text();
    s.takeaway = text();
    s.project = text();
    for (size_t n = pick(5); n > 0; --n) s.active.push_back(session());
    for (size_t n = pick(3); n > 0; --n) s.waiting.push_back(text());
    return s;
  }

  // One poll later: countdowns tick, and now and then one thing changes.
  State nudge(State s) {
    for (Active& a : s.active)
      if (a.loopOn) a.nextIn = a.nextIn > 0 ? a.nextIn - 3 : 600;
    switch (pick(8)) {
      case 0:
        if (!s.active.empty())
          s.active.erase(s.active.begin() + static_cast<long>(pick(s.active.size())));
        break;
      case 1:
        s.active.insert(s.active.begin() + static_cast<long>(pick(s.active.size() + 1)), session());
        break;
      case 2:
        if (!s.active.empty()) {
          Active& a = s.active[pick(s.active.size())];
          a.loopOn = !a.loopOn;
          a.minutes = any<double>({2, 5, 15, 30});
        }
        break;
      case 3:
        s.muted = !s.muted;
        break;
      case 4:
        s.bound = text();
        s.takeaway = text();
        break;
      case 5:
        if (s.active.size() > 1) std::swap(s.active.front(), s.active.back());
        break;
      default:
        break;  // only the countdowns
    }
    return s;
  }

  std::mt19937 rng_;
};

TEST(MenuQtReconcile, RandomStateSequencesAlwaysEqualAFreshBuild) {
  for (unsigned seed : {1u, 2u, 3u}) {
    StateSource source(seed);
    Rendered r;
    State state;
    for (int step = 0; step < 150; ++step) {
      state = source.next(state);
      r.show(state);
      const std::string where = "seed " + std::to_string(seed) + " step " + std::to_string(step);
      expectFresh(r, state, where);
      if (step % 5 == 0) expectChoices(r, &r.menu, buildMenu(state), where);
      if (::testing::Test::HasFailure()) return;
    }
  }
}

// Three sessions under one host; `drop` leaves one out, `tick` runs the
// countdowns on by that many seconds.
State sessions(int tick = 0, const std::string& drop = "") {
  State s;
  s.running = true;
  s.chat = true;
  for (const char* key : {"a", "b", "c"})
    if (key != drop)
      s.active.push_back(
          Active(key, "Terminal", std::string("Title ") + key, key, "", 0, true, 10, 125 - tick));
  return s;
}

QMenu* submenuOf(QMenu* menu, const QString& startsWith) {
  for (QAction* a : menu->actions())
    if (a->menu() && a->text().startsWith(startsWith)) return a->menu();
  return nullptr;
}

TEST(MenuQtReconcile, AnUnchangedStateWritesNothingAndATickWritesOnlyTheTitles) {
  Rendered r;
  r.show(sessions());
  const std::vector<QAction*> before = allActions(&r.menu);
  r.show(sessions());
  EXPECT_EQ(r.renderer.lastChanges().created, 0);
  EXPECT_EQ(r.renderer.lastChanges().removed, 0);
  EXPECT_EQ(r.renderer.lastChanges().updated, 0);
  EXPECT_EQ(allActions(&r.menu), before);

  r.show(sessions(3));
  EXPECT_EQ(r.renderer.lastChanges().created, 0);
  EXPECT_EQ(r.renderer.lastChanges().removed, 0);
  EXPECT_EQ(r.renderer.lastChanges().updated, 3) << "one title per session";
  EXPECT_EQ(allActions(&r.menu), before);
  expectRendered(&r.menu, buildMenu(sessions(3)));
}

TEST(MenuQtReconcile, ASessionThatGoesTakesOnlyItsOwnEntry) {
  Rendered r;
  r.show(sessions());
  QMenu* list = submenuOf(&r.menu, "Sessions");
  ASSERT_NE(list, nullptr);
  QPointer<QMenu> a = submenuOf(list, "  Title a"), b = submenuOf(list, "  Title b"),
                  c = submenuOf(list, "  Title c");
  ASSERT_TRUE(a && b && c);
  const QAction* toggleOfC = c->actions().front();

  r.show(sessions(0, "b"));
  EXPECT_EQ(r.renderer.lastChanges().removed, 1);
  EXPECT_EQ(r.renderer.lastChanges().created, 0);
  EXPECT_EQ(r.renderer.lastChanges().updated, 1) << "the count in the sessions title";
  EXPECT_TRUE(b.isNull()) << "its submenu is deleted";
  EXPECT_EQ(submenuOf(&r.menu, "Sessions"), list);
  EXPECT_EQ(submenuOf(list, "  Title a"), a.data());
  EXPECT_EQ(submenuOf(list, "  Title c"), c.data());
  EXPECT_EQ(c->actions().front(), toggleOfC);
  expectRendered(&r.menu, buildMenu(sessions(0, "b")));

  r.show(sessions());  // back in its place: one entry and its submenu made
  EXPECT_EQ(r.renderer.lastChanges().removed, 0);
  EXPECT_EQ(r.renderer.lastChanges().created, 12);
  EXPECT_EQ(submenuOf(list, "  Title c"), c.data());
  EXPECT_EQ(r.renderer.submenuCount(), 4u);
}

TEST(MenuQtReconcile, EntriesThatStandForSomethingElseAreReplacedNotRelabelled) {
  // A loop toggle or a bind entry carries what its command needs; an entry
  // for session x is never turned into one for session y.
  Item toggle;
  toggle.action = std::string(actions::toggleLoop);
  toggle.represented = std::string("x");
  Item other = toggle;
  other.represented = std::string("y");
  EXPECT_TRUE(updatable(toggle, toggle));
  EXPECT_FALSE(updatable(toggle, other));
  Item line;
  line.title = "Listening";
  line.enabled = false;
  Item muted = line;
  muted.title = "Muted";
  EXPECT_TRUE(updatable(line, muted)) << "a line that only changes its text";
  Item sep;
  sep.separator = true;
  EXPECT_FALSE(updatable(sep, line));
  Item x, y;
  x.submenu = {toggle};
  y.submenu = {other};
  EXPECT_FALSE(updatable(x, y)) << "a session's submenu stands for its loop toggle's key";
  EXPECT_FALSE(updatable(x, toggle));
}

}  // namespace
}  // namespace ombru::menu::qt::test
