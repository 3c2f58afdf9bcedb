#include <gtest/gtest.h>

#include "core/display.hpp"

using namespace ombru::menu;

TEST(Display, EachLookHasOneRowAndEveryRowIsUsed) {
  State s;
  s.running = true;
  EXPECT_EQ(lookOf(s), Look::listening);
  s.muted = true;
  EXPECT_EQ(lookOf(s), Look::muted);
  s.running = false;
  EXPECT_EQ(lookOf(s), Look::notRunning);
  for (const LookStyle& row : LOOKS) EXPECT_EQ(&styleOf(row.look), &row);
  EXPECT_EQ(styleOf(Look::muted).iconName, "ombru-menu-muted-symbolic");
  EXPECT_EQ(pixmapSizes(), (std::vector<int>{16, 22, 24, 32, 44, 48, 64, 96}));
  EXPECT_EQ(schemeInk(COLOR_SCHEME_LIGHT), BLACK);
  EXPECT_EQ(schemeInk(COLOR_SCHEME_DARK), WHITE);
  EXPECT_EQ(schemeInk(COLOR_SCHEME_NONE), WHITE);
}

// A 1920 x 1080 screen with a 30 px panel at the top (Plasma's may be at
// any edge); the menu is 200 x 300.
TEST(Display, TheItemsOwnMenuOpensBesideThePanelAndOnTheAvailableArea) {
  const Rect screen{0, 0, 1920, 1080};
  auto at = [&](Point click, Rect available) {
    return menuPosition(click, 200, 300, screen, available);
  };
  const Rect belowTop{0, 30, 1920, 1050}, aboveBottom{0, 0, 1920, 1044};
  EXPECT_EQ(at({1800, 10}, belowTop), (Point{1720, 30})) << "top panel, right end";
  EXPECT_EQ(at({100, 0}, belowTop), (Point{100, 30}));
  EXPECT_EQ(at({1900, 1060}, aboveBottom), (Point{1720, 744})) << "bottom panel";
  EXPECT_EQ(at({10, 500}, {44, 0, 1876, 1080}), (Point{44, 500})) << "left panel";
  EXPECT_EQ(at({1910, 900}, {0, 0, 1876, 1080}), (Point{1676, 780})) << "right panel";
  // No panel around the click: at it, turned to fit; never off the area.
  EXPECT_EQ(at({500, 500}, belowTop), (Point{500, 500}));
  EXPECT_EQ(at({1900, 1000}, belowTop), (Point{1700, 700}));
  EXPECT_EQ(menuPosition({10, 10}, 200, 2000, screen, belowTop), (Point{10, 30}));
  EXPECT_EQ(at({1800, 10}, {0, 0, 0, 0}), (Point{1600, 10})) << "no available area: the screen";
}

TEST(Display, ThreeLooks) {
  State s;
  s.muted = true;
  s.chat = true;
  EXPECT_EQ(display(s), (Display{0.25, "Ombru Voice \xe2\x80\x94 not running"}));
  s.running = true;
  EXPECT_EQ(display(s), (Display{0.35, "Ombru Voice \xe2\x80\x94 muted"}));
  s.chat = false;
  EXPECT_EQ(display(s), (Display{0.35, "Ombru Voice \xe2\x80\x94 muted"}));
  s.muted = false;
  EXPECT_EQ(display(s), (Display{1.0, "Ombru Voice \xe2\x80\x94 listening"}));
}

TEST(Mark, GridValuesAtSixtyFourPoints) {
  MarkGeometry g = markGeometry(64.0, true);
  const std::array<Point, 12> plus = {{{24, 56},
                                       {40, 56},
                                       {40, 40},
                                       {56, 40},
                                       {56, 24},
                                       {40, 24},
                                       {40, 8},
                                       {24, 8},
                                       {24, 24},
                                       {8, 24},
                                       {8, 40},
                                       {24, 40}}};
  EXPECT_EQ(g.outline, plus);
  EXPECT_EQ(g.lineWidth, 5.0);
  EXPECT_TRUE(g.roundJoins);
  EXPECT_EQ(g.stroke, BLACK);
  EXPECT_EQ(g.squares[0], (Rect{46, 50, 6, 6}));
  EXPECT_EQ(g.squares[1], (Rect{46, 8, 6, 6}));
  EXPECT_EQ(g.fill, BLACK);
  EXPECT_EQ(markGeometry(64.0, false).fill, AQUA);
  EXPECT_EQ(AQUA, (Color{0.498, 1.0, 0.878, 1.0}));
}

TEST(Mark, ScaledToTheImage) {
  MarkGeometry g = markGeometry(18.0, true);
  EXPECT_DOUBLE_EQ(g.lineWidth, 1.40625);
  EXPECT_DOUBLE_EQ(g.squares[0].width, 1.6875);
  EXPECT_DOUBLE_EQ(g.squares[0].height, 1.6875);
  EXPECT_DOUBLE_EQ(g.outline[0].x, 24 * 18.0 / 64);
  EXPECT_DOUBLE_EQ(g.outline[0].y, 56 * 18.0 / 64);
}

TEST(Mark, FlippedForATopLeftOrigin) {
  MarkGeometry up = markGeometry(64.0, false);
  MarkGeometry down = markGeometry(64.0, false, true);
  for (std::size_t i = 0; i < up.outline.size(); ++i) {
    EXPECT_EQ(down.outline[i].x, up.outline[i].x);
    EXPECT_EQ(down.outline[i].y, 64.0 - up.outline[i].y);
  }
  // The upper-right square sits near the top edge in either orientation.
  EXPECT_EQ(down.squares[0], (Rect{46, 8, 6, 6}));
  EXPECT_EQ(down.squares[1], (Rect{46, 50, 6, 6}));
}
