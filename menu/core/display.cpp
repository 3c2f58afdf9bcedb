#include "display.hpp"

namespace ombru::menu {

Display display(const State& s) {
  if (!s.running) return {0.25, "Ombru Voice \u2014 not running"};
  if (s.muted) return {0.35, "Ombru Voice \u2014 muted"};
  return {1.0, "Ombru Voice \u2014 listening"};
}

MarkGeometry markGeometry(double size, bool isTemplate, bool yDown) {
  // The plus sign spans 8..56 both ways with arms 16 units wide.
  static constexpr std::array<Point, 12> kOutline = {{{24, 56},
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
  static constexpr std::array<Rect, 2> kSquares = {{{46, 50, 6, 6}, {46, 8, 6, 6}}};
  const double u = size / MARK_GRID;

  MarkGeometry g{};
  for (std::size_t i = 0; i < kOutline.size(); ++i) {
    const Point& p = kOutline[i];
    g.outline[i] = {p.x * u, (yDown ? MARK_GRID - p.y : p.y) * u};
  }
  for (std::size_t i = 0; i < kSquares.size(); ++i) {
    const Rect& r = kSquares[i];
    double y = yDown ? MARK_GRID - (r.y + r.height) : r.y;
    g.squares[i] = {r.x * u, y * u, r.width * u, r.height * u};
  }
  g.lineWidth = 5.0 * u;
  g.roundJoins = true;
  g.stroke = BLACK;
  g.fill = isTemplate ? BLACK : AQUA;
  return g;
}

}  // namespace ombru::menu
