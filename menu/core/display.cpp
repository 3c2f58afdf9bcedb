#include "display.hpp"

#include <algorithm>

namespace ombru::menu {

static_assert(PANEL_ICON_SIZES.front() * LARGEST_PIXMAP_FACTOR == 2 * PANEL_ICON_SIZES.back(),
              "the largest pixmap is both a double and a whole enlargement of the smallest");

Look lookOf(const State& s) {
  if (!s.running) return Look::notRunning;
  return s.muted ? Look::muted : Look::listening;
}

const LookStyle& styleOf(Look look) {
  for (const LookStyle& row : LOOKS)
    if (row.look == look) return row;
  return LOOKS.back();  // unreachable: every look has a row
}

Display display(const State& s) {
  const LookStyle& style = styleOf(lookOf(s));
  return {style.opacity, std::string(style.toolTip)};
}

std::vector<int> pixmapSizes() {
  std::vector<int> out;
  for (int side : PANEL_ICON_SIZES) {
    out.push_back(side);
    out.push_back(2 * side);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

Color schemeInk(std::uint32_t colorScheme) {
  return colorScheme == COLOR_SCHEME_LIGHT ? BLACK : WHITE;
}

Point menuPosition(Point at, double width, double height, const Rect& screen,
                   const Rect& available) {
  // An empty area (a screen that reports none) counts as the whole screen.
  const Rect& area = available.width > 0 && available.height > 0 ? available : screen;
  const double left = area.x, top = area.y;
  const double right = area.x + area.width, bottom = area.y + area.height;
  Point p = at;
  // A click on a panel: the menu starts at the panel's inner edge.
  if (at.y < top)
    p.y = top;
  else if (at.y >= bottom)
    p.y = bottom - height;
  else if (at.x < left)
    p.x = left;
  else if (at.x >= right)
    p.x = right - width;
  else {
    // Inside the available area: open at the click, turned where it would
    // run off the area.
    if (p.x + width > right) p.x -= width;
    if (p.y + height > bottom) p.y -= height;
  }
  // Wholly on the area; a menu larger than it keeps its top-left corner there.
  p.x = std::max(area.x, std::min(p.x, area.x + area.width - width));
  p.y = std::max(area.y, std::min(p.y, area.y + area.height - height));
  return p;
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
