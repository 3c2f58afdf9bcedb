#pragma once
// The logo mark as a Qt icon, drawn from the core's geometry on demand at
// whatever size and device pixel ratio the tray asks for.

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cstdint>

namespace ombru::menu::qt {

// The mark's geometry moved to whole pixels for a `side` by `side` pixel
// square (y down): the stroke a whole number of pixels wide with its edges,
// like the squares' edges, on pixel boundaries.
struct SnappedMark {
  QPainterPath outline;  // stroked with `width` and round joins
  double width = 1.0;
  QPainterPath squares;  // filled
};
SnappedMark snappedMark(int side);

// The template mark on a transparent image of `side` by `side` device
// pixels, in `ink` at `opacity`. The core's geometry moved to whole pixels: the stroke is a whole
// number of pixels wide and its edges, like the squares' edges, lie on pixel boundaries, so that
// small sizes come out crisp instead of smeared over two pixels.
QImage markImage(int side, const QColor& ink, double opacity);

// The colour the mark is drawn in: the text colour an X11 tray names, else
// on Wayland the one for the desktop's colour-scheme preference, else the
// palette's window-text colour, which follows a dark theme.
QColor markInk();
// The desktop's colour-scheme preference (COLOR_SCHEME_*), for markInk().
void setColorScheme(std::uint32_t scheme);

// An icon whose every rendering draws the template mark afresh in
// markInk() at `opacity`. Make one per look and reuse it: a new icon per
// poll makes Qt's caches grow.
QIcon markIcon(double opacity);

}  // namespace ombru::menu::qt
