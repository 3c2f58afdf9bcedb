// Layout rules that a decoded document cannot reach (a State built in code)
// or that read more plainly as checks than as golden text.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/menu_model.hpp"

using namespace ombru::menu;

namespace {

State running() {
  State s;
  s.running = true;
  return s;
}

// The submenu of the only session of a state.
Menu sessionSubmenu(const State& s) {
  Menu m = buildMenu(s);
  // header, status line, separator, sessions entry
  const Item& sessions = m.at(3);
  return sessions.submenu.at(1).submenu;  // after the host line
}

// The minute choices marked for a session with this interval.
std::vector<std::int64_t> marked(double minutes) {
  State s = running();
  Active a("k", "h", "t", "s", "", 0, true, minutes, 0);
  s.active = {a};
  std::vector<std::int64_t> out;
  for (const Item& i : sessionSubmenu(s)) {
    if (i.action != actions::setMinutes || !i.checked) continue;
    out.push_back(std::get<std::int64_t>(std::get<RepresentedMap>(i.represented).at("minutes")));
  }
  return out;
}

std::vector<std::string> titles(const Menu& m) {
  std::vector<std::string> out;
  for (const Item& i : m) out.push_back(i.separator ? "---" : i.title);
  return out;
}

}  // namespace

TEST(Layout, NotRunningShowsNothingElse) {
  State s = running();
  s.running = false;
  s.muted = true;
  s.bound = "b";
  s.takeaway = "t";
  s.waiting = {"w"};
  s.active = {Active("k", "h", "t", "s", "", 0, 0)};
  Menu m = buildMenu(s);
  EXPECT_EQ(titles(m),
            (std::vector<std::string>{"Ombru Voice", "Not running", "---", "Start Ombru", "Quit"}));
  for (std::size_t i = 0; i < m.size(); ++i)
    EXPECT_EQ(m[i].enabled && !m[i].separator, i >= 3) << i;
  EXPECT_TRUE(m[0].header);
  EXPECT_EQ(m[3].action, actions::startDaemon);
  EXPECT_EQ(m[3].keyEquivalent, "");
  EXPECT_EQ(m[4].action, actions::quit);
  EXPECT_EQ(m[4].keyEquivalent, "q");
}

TEST(Layout, MinuteChoicesMarkTheTruncatedInterval) {
  using V = std::vector<std::int64_t>;
  EXPECT_EQ(marked(10.9), V{10});
  EXPECT_EQ(marked(15), V{});
  EXPECT_EQ(marked(2), V{2});
  EXPECT_EQ(marked(60.99), V{60});
  EXPECT_EQ(marked(1.99), V{});
  EXPECT_EQ(marked(-2.5), V{});
  EXPECT_EQ(marked(-0.0), V{});
}

TEST(Layout, MinutesWithoutIntegerFormMarkNone) {
  // These have no integer form; converting them would be undefined.
  using V = std::vector<std::int64_t>;
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(marked(std::nan("")), V{});
  EXPECT_EQ(marked(inf), V{});
  EXPECT_EQ(marked(-inf), V{});
  EXPECT_EQ(marked(1e300), V{});
  EXPECT_EQ(marked(-1e300), V{});
  EXPECT_EQ(marked(9223372036854775808.0), V{});

  EXPECT_EQ(wholeMinutes(std::nan("")), std::nullopt);
  EXPECT_EQ(wholeMinutes(9223372036854775808.0), std::nullopt);
  EXPECT_EQ(wholeMinutes(-9223372036854775808.0), INT64_MIN);
  EXPECT_EQ(wholeMinutes(9223372036854774784.0), 9223372036854774784);  // largest below 2^63
  EXPECT_EQ(wholeMinutes(-10.9), -10);
}

TEST(Layout, SessionSubmenuCarriesWhatEachActionNeeds) {
  State s = running();
  s.active = {Active("the-key", "h", "t", "spoken name", "", 0, false, 30.0, 0)};
  Menu sub = sessionSubmenu(s);
  ASSERT_EQ(sub.size(), 11u);
  EXPECT_EQ(sub[0].title, "Smart loop off \u2014 click to turn on");
  EXPECT_EQ(sub[0].action, actions::toggleLoop);
  EXPECT_FALSE(sub[0].checked);
  EXPECT_EQ(sub[0].represented, Represented(std::string("the-key")));
  EXPECT_EQ(sub[2].title, "Check every");
  EXPECT_FALSE(sub[2].enabled);
  const std::int64_t choices[] = {2, 5, 10, 20, 30, 60};
  for (int i = 0; i < 6; ++i) {
    const Item& c = sub[3 + i];
    EXPECT_EQ(c.title, "  " + std::to_string(choices[i]) + " minutes");
    EXPECT_EQ(c.represented, Represented(RepresentedMap{{"key", std::string("the-key")},
                                                        {"minutes", choices[i]}}));
    EXPECT_EQ(c.checked, choices[i] == 30);
  }
  EXPECT_TRUE(sub[9].separator);
  EXPECT_EQ(sub[10].title, "Talk to this session");
  EXPECT_EQ(sub[10].action, actions::bind);
  EXPECT_EQ(sub[10].represented, Represented(std::string("spoken name")));
}

TEST(Layout, SessionTitleWorkedExample) {
  State s = running();
  s.active = {Active("k", "h", "Fix the parser", "parser", "busy", 12, true, 10.0, 125),
              Active("k", "h", "Fix the parser", "parser", "", 0, false, 10.0, 125)};
  Menu m = buildMenu(s);
  const Menu& sub = m.at(3).submenu;
  EXPECT_EQ(sub[1].title,
            "  Fix the parser  \u2014  parser \u00b7 busy \u00b7 12m idle  \u00b7  next smart loop "
            "in 2:05");
  EXPECT_EQ(sub[2].title, "  Fix the parser  \u2014  parser  \u00b7  smart loop off");
  EXPECT_TRUE(sub[1].enabled);
  EXPECT_FALSE(sub[1].hasAction());
}

TEST(Layout, HeaderOnlyOnTop) {
  State s = running();
  s.takeaway = "x";
  s.active = {Active()};
  Menu m = buildMenu(s);
  ASSERT_TRUE(m[0].header);
  std::size_t headers = 0;
  std::vector<const Menu*> todo{&m};
  while (!todo.empty()) {
    const Menu* cur = todo.back();
    todo.pop_back();
    for (const Item& i : *cur) {
      headers += i.header ? 1 : 0;
      // An action always comes with the controller as target; only
      // informational lines are disabled.
      if (i.hasAction()) {
        EXPECT_TRUE(i.enabled) << i.title;
      }
      if (i.hasSubmenu()) {
        EXPECT_TRUE(i.enabled) << i.title;
        todo.push_back(&i.submenu);
      }
    }
  }
  EXPECT_EQ(headers, 1u);
}
