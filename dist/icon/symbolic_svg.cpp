// Writes the tray mark as symbolic icons, one per look, from the mark's
// geometry in the menu core. Desktop shells recolour symbolic icons with
// their panel's text colour, which they only do for filled shapes: the
// stroked outline is written as the filled area the stroke covers.
// One drawing serves both kinds of shell: GTK-based ones (GNOME, Xfce,
// waybar) override the fill of every path, and Plasma recolours only shapes
// of its stylesheet's ColorScheme-Text class filled with currentColor.
// Besides the scalable drawing, each size a panel commonly asks for gets its
// own drawing on whole pixels, which the icon theme picks before the
// scalable one, so that the mark stays crisp there too.
// Usage: ombru-mark-symbolic HICOLOR_FOLDER

#include <QPainterPath>
#include <QPainterPathStroker>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "core/display.hpp"
#include "mark_qt.hpp"

namespace {

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4g", v);
  return buf;
}

std::string pathData(const QPainterPath& path) {
  std::string d;
  for (int i = 0; i < path.elementCount(); ++i) {
    const QPainterPath::Element e = path.elementAt(i);
    if (e.isMoveTo()) {
      if (!d.empty()) d += "Z ";
      d += "M";
    } else if (e.isLineTo()) {
      d += "L";
    } else if (e.isCurveTo()) {
      d += "C";
    }
    // Curve data elements follow their curveTo without a command of their own.
    d += number(e.x) + ',' + number(e.y) + ' ';
  }
  if (!d.empty()) d += "Z";
  return d;
}

std::string document(const QPainterPath& shape, double side, int pixels, double opacity) {
  // The stroke's outline keeps its round joins as curves; filled with the
  // non-zero rule it covers what the stroke covers.
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(pixels) +
         "\" height=\"" + std::to_string(pixels) + "\" viewBox=\"0 0 " + number(side) + ' ' +
         number(side) + "\">\n";
  // The fill is only in the style, as currentColor, so that no fill
  // attribute competes with it in a renderer that ranks attributes first.
  // Unless a host swaps the stylesheet (Plasma) or overrides the fill
  // (GTK), the mark is the usual symbolic grey.
  out +=
      "  <style type=\"text/css\" id=\"current-color-scheme\">"
      ".ColorScheme-Text { color:#bebebe; }</style>\n";
  out += "  <g opacity=\"" + number(opacity) + "\">\n";
  out +=
      "    <path class=\"ColorScheme-Text\" style=\"fill:currentColor\" fill-rule=\"nonzero\" "
      "d=\"" +
      pathData(shape) + "\"/>\n";
  out += "  </g>\n</svg>\n";
  return out;
}

// The design on its 64-unit grid.
std::string scalable(double opacity) {
  const double side = ombru::menu::MARK_GRID;
  const ombru::menu::MarkGeometry g = ombru::menu::markGeometry(side, true, /*yDown=*/true);
  QPainterPath outline;
  outline.moveTo(g.outline[0].x, g.outline[0].y);
  for (size_t i = 1; i < g.outline.size(); ++i) outline.lineTo(g.outline[i].x, g.outline[i].y);
  outline.closeSubpath();
  QPainterPathStroker stroker;
  stroker.setWidth(g.lineWidth);
  stroker.setJoinStyle(g.roundJoins ? Qt::RoundJoin : Qt::MiterJoin);
  QPainterPath shape = stroker.createStroke(outline);
  for (const auto& r : g.squares) shape.addRect(r.x, r.y, r.width, r.height);
  return document(shape, side, 16, opacity);
}

// The same on whole pixels of a side-by-side icon.
std::string snapped(int side, double opacity) {
  const ombru::menu::qt::SnappedMark m = ombru::menu::qt::snappedMark(side);
  QPainterPathStroker stroker;
  stroker.setWidth(m.width);
  stroker.setJoinStyle(Qt::RoundJoin);
  QPainterPath shape = stroker.createStroke(m.outline);
  shape.addPath(m.squares);
  return document(shape, side, side, opacity);
}

bool write(const std::string& path, const std::string& text) {
  std::error_code ignored;  // a folder that cannot be made fails the write below
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (!file) std::cerr << "ombru-mark-symbolic: cannot write " << path << "\n";
  return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: ombru-mark-symbolic HICOLOR_FOLDER\n";
    return 2;
  }
  const std::string root = argv[1];
  for (const auto& look : ombru::menu::LOOKS) {
    const std::string name = "/apps/" + std::string(look.iconName) + ".svg";
    if (!write(root + "/scalable" + name, scalable(look.opacity))) return 1;
    for (int side : ombru::menu::PANEL_ICON_SIZES) {
      const std::string dir = std::to_string(side) + 'x' + std::to_string(side);
      if (!write(root + '/' + dir + name, snapped(side, look.opacity))) return 1;
    }
  }
  return 0;
}
