#pragma once
// The status item's look: opacity and tool tip for a State, and the logo
// mark's geometry as data, so the toolkit only strokes and fills.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "constants.hpp"
#include "state.hpp"

namespace ombru::menu {

struct Color {
  double red, green, blue, alpha;
  bool operator==(const Color&) const = default;
};

inline constexpr Color BLACK = {0.0, 0.0, 0.0, 1.0};
inline constexpr Color AQUA = {0.498, 1.0, 0.878, 1.0};  // non-template fill only
inline constexpr Color WHITE = {1.0, 1.0, 1.0, 1.0};

// The look of a State: not running, else muted, else listening. Only running
// and muted are read.
Look lookOf(const State& state);
// The row of LOOKS for a look.
const LookStyle& styleOf(Look look);

struct Display {
  double alpha;         // opacity of the status button
  std::string toolTip;  // "Ombru Voice — ..." with an em dash
  bool operator==(const Display&) const = default;
};

// The opacity and tool tip of lookOf(state).
Display display(const State& state);

// Every pixmap size the item offers: the panel sizes and their doubles,
// ascending, each once.
std::vector<int> pixmapSizes();

// The mark's colour where no panel tells its own (Wayland), from the
// desktop's colour-scheme preference (COLOR_SCHEME_*): dark on a light
// preference, white otherwise, as bars there are dark by default.
Color schemeInk(std::uint32_t colorScheme);

struct Point {
  double x, y;
  bool operator==(const Point&) const = default;
};
struct Rect {
  double x, y, width, height;
  bool operator==(const Rect&) const = default;
};

inline constexpr double MARK_GRID = 64.0;  // the mark is drawn on a 64 x 64 grid

// Everything needed to draw the mark into a size x size square.
// Draw order: stroke the outline first, then fill the squares.
struct MarkGeometry {
  std::array<Point, 12> outline;  // closed polygon of a plus sign; close back to outline[0]
  double lineWidth;               // stroke width, 5 grid units
  bool roundJoins;                // always true: round line joins
  Color stroke;                   // always BLACK; the outline is not filled
  std::array<Rect, 2> squares;    // upper-right and lower-right squares, 6 units wide
  Color fill;                     // BLACK for a template image, AQUA otherwise
  bool operator==(const MarkGeometry&) const = default;
};

// Grid coordinates scaled by size / 64. With yDown false the origin is the
// lower-left corner and y grows upwards (the native layout); with yDown true
// the same drawing is given for a top-left origin with y growing downwards
// (rectangles keep their top-left corner as x, y).
MarkGeometry markGeometry(double size, bool isTemplate, bool yDown = false);

// Where the item's own menu opens for a click at `at` (screen pixels, y
// down): beside the panel the click came from, never over it, and wholly on
// the screen's available area (the screen less its panels). A click inside
// the available area (a host that gives no icon position) opens the menu at
// the click, turned to fit. Gives the menu's top-left corner.
Point menuPosition(Point at, double width, double height, const Rect& screen,
                   const Rect& available);

}  // namespace ombru::menu
