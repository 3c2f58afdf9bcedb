#include "mark_qt.hpp"

#include <QGuiApplication>
#include <QIconEngine>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>
#include <algorithm>
#include <cmath>

#include "core/display.hpp"
#include "display.hpp"

namespace ombru::menu::qt {
namespace {

QColor colour(const Color& c) {
  return QColor::fromRgbF(static_cast<float>(c.red), static_cast<float>(c.green),
                          static_cast<float>(c.blue), static_cast<float>(c.alpha));
}

std::uint32_t preferredScheme = COLOR_SCHEME_NONE;  // main thread only

class MarkEngine final : public QIconEngine {
 public:
  explicit MarkEngine(double opacity) : opacity_(opacity) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
    // Drawn at the device's own pixels, so that the snapping holds there.
    const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    const int side = std::min(rect.width(), rect.height());
    QImage img = markImage(static_cast<int>(side * ratio + 0.5), markInk(), opacity_);
    img.setDevicePixelRatio(ratio);
    painter->drawImage(
        QPointF(rect.x() + (rect.width() - side) / 2, rect.y() + (rect.height() - side) / 2), img);
  }

  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    return scaledPixmap(size, mode, state, 1.0);
  }

  // Qt hands `size` already in device pixels, with the scale it stands for.
  QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                       qreal scale) override {
    (void)mode;
    (void)state;
    // Not square (a tray slot may be wider than high): the mark is centred
    // on whole pixels.
    const int side = std::min(size.width(), size.height());
    QImage img(size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    {
      QPainter painter(&img);
      painter.drawImage(QPoint((size.width() - side) / 2, (size.height() - side) / 2),
                        markImage(side, markInk(), opacity_));
    }
    QPixmap pm = QPixmap::fromImage(std::move(img));
    pm.setDevicePixelRatio(scale);
    return pm;
  }

  // Sizes offered to trays that take pixmaps (StatusNotifierItem); any other
  // size is drawn on request all the same.
  QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
    QList<QSize> out;
    for (int side : pixmapSizes()) out << QSize(side, side);
    return out;
  }

  QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }
  QIconEngine* clone() const override { return new MarkEngine(opacity_); }
  QString key() const override { return QStringLiteral("ombru-mark"); }

 private:
  double opacity_;
};

}  // namespace

SnappedMark snappedMark(int side) {
  SnappedMark m;
  const MarkGeometry g = markGeometry(side, true, /*yDown=*/true);
  m.width = std::max(1.0, std::round(g.lineWidth));
  // A stroke edge on a pixel boundary: the centre sits half a stroke from it.
  auto line = [&](double v) { return std::round(v - m.width / 2) + m.width / 2; };
  m.outline.moveTo(line(g.outline[0].x), line(g.outline[0].y));
  for (size_t i = 1; i < g.outline.size(); ++i)
    m.outline.lineTo(line(g.outline[i].x), line(g.outline[i].y));
  m.outline.closeSubpath();
  for (const Rect& r : g.squares)
    m.squares.addRect(std::round(r.x), std::round(r.y), std::max(1.0, std::round(r.width)),
                      std::max(1.0, std::round(r.height)));
  return m;
}

QImage markImage(int side, const QColor& ink, double opacity) {
  QImage img(std::max(side, 1), std::max(side, 1), QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  if (side < 1) return img;
  const SnappedMark m = snappedMark(side);
  QPainter painter(&img);
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.setOpacity(opacity);
  QPen pen(ink);
  pen.setWidthF(m.width);
  pen.setJoinStyle(Qt::RoundJoin);
  painter.strokePath(m.outline, pen);
  painter.fillPath(m.squares, ink);
  return img;
}

QColor markInk() {
  // Linux trays know no template images: the panel's text colour keeps the
  // mark visible on dark and light panels alike. An X11 tray may name it.
  // On Wayland no client can learn a bar's colour, and the palette follows
  // the application's theme, not the bar's: the desktop's light or dark
  // preference stands in for it (bars are dark by default, as waybar's).
  if (const auto fg = trayForeground()) return *fg;
  if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
    return colour(schemeInk(preferredScheme));
  return QGuiApplication::palette().color(QPalette::WindowText);
}

void setColorScheme(std::uint32_t scheme) {
  preferredScheme = scheme;
}

QIcon markIcon(double opacity) {
  return QIcon(new MarkEngine(opacity));
}

}  // namespace ombru::menu::qt
