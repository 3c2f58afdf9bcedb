#include <gtest/gtest.h>

#include "core/display.hpp"

using namespace ombru::menu;

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
