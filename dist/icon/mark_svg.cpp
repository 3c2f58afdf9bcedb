// Writes the application icon as SVG from the mark's geometry in the menu
// core, so the icon on disk and the mark in the tray cannot drift apart.
// Usage: ombru-mark-svg OUTPUT.svg

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "core/display.hpp"

namespace {

using ombru::menu::Color;

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

std::string hex(const Color& c) {
  auto channel = [](double v) { return static_cast<int>(std::lround(v * 255.0)); };
  char buf[8];
  std::snprintf(buf, sizeof buf, "#%02x%02x%02x", channel(c.red), channel(c.green),
                channel(c.blue));
  return buf;
}

std::string svg() {
  const double side = ombru::menu::MARK_GRID;
  // The coloured (non-template) mark: an icon in a launcher has no panel
  // colour to follow. SVG's origin is the top-left corner.
  const ombru::menu::MarkGeometry g = ombru::menu::markGeometry(side, false, /*yDown=*/true);
  std::string points;
  for (const auto& p : g.outline) {
    if (!points.empty()) points += ' ';
    points += number(p.x) + ',' + number(p.y);
  }
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(side) + "\" height=\"" +
         number(side) + "\" viewBox=\"0 0 " + number(side) + ' ' + number(side) + "\">\n";
  out += "  <polygon points=\"" + points + "\" fill=\"none\" stroke=\"" + hex(g.stroke) +
         "\" stroke-opacity=\"" + number(g.stroke.alpha) + "\" stroke-width=\"" +
         number(g.lineWidth) + "\" stroke-linejoin=\"" + (g.roundJoins ? "round" : "miter") +
         "\"/>\n";
  for (const auto& r : g.squares) {
    out += "  <rect x=\"" + number(r.x) + "\" y=\"" + number(r.y) + "\" width=\"" +
           number(r.width) + "\" height=\"" + number(r.height) + "\" fill=\"" + hex(g.fill) +
           "\" fill-opacity=\"" + number(g.fill.alpha) + "\"/>\n";
  }
  out += "</svg>\n";
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: ombru-mark-svg OUTPUT.svg\n";
    return 2;
  }
  std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
  file << svg();
  file.close();
  if (!file) {
    std::cerr << "ombru-mark-svg: cannot write " << argv[1] << "\n";
    return 1;
  }
  return 0;
}
