#include "mark_qt.hpp"

#include <QGuiApplication>
#include <QIconEngine>
#include <QPainterPath>
#include <QPalette>
#include <QPixmap>
#include <algorithm>

#include "core/display.hpp"

namespace ombru::menu::qt {
namespace {

QColor colour(const Color& c) {
  return QColor::fromRgbF(c.red, c.green, c.blue, c.alpha);
}

class MarkEngine final : public QIconEngine {
 public:
  explicit MarkEngine(double opacity) : opacity_(opacity) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
    const double side = std::min(rect.width(), rect.height());
    const QRectF square(rect.x() + (rect.width() - side) / 2.0,
                        rect.y() + (rect.height() - side) / 2.0, side, side);
    // Linux trays know no template images: the panel's text colour keeps the
    // mark visible on dark and light panels alike.
    drawMark(*painter, square, true, QGuiApplication::palette().color(QPalette::WindowText),
             opacity_);
  }

  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    return scaledPixmap(size, mode, state, 1.0);
  }

  // Qt hands `size` already in device pixels, with the scale it stands for.
  QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state,
                       qreal scale) override {
    QPixmap pm(size);
    pm.fill(Qt::transparent);
    pm.setDevicePixelRatio(scale);
    QPainter painter(&pm);
    paint(&painter, QRect(QPoint(0, 0), pm.deviceIndependentSize().toSize()), mode, state);
    return pm;
  }

  // Sizes offered to trays that take pixmaps (StatusNotifierItem); any other
  // size is drawn on request all the same.
  QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
    return {QSize(16, 16), QSize(22, 22), QSize(24, 24),
            QSize(32, 32), QSize(48, 48), QSize(64, 64)};
  }

  QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }
  QIconEngine* clone() const override { return new MarkEngine(opacity_); }
  QString key() const override { return QStringLiteral("ombru-mark"); }

 private:
  double opacity_;
};

}  // namespace

void drawMark(QPainter& painter, const QRectF& square, bool isTemplate, const QColor& ink,
              double opacity) {
  const MarkGeometry g = markGeometry(square.width(), isTemplate, /*yDown=*/true);
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, true);
  painter.setOpacity(opacity);
  painter.translate(square.topLeft());

  QPainterPath outline;
  outline.moveTo(g.outline[0].x, g.outline[0].y);
  for (size_t i = 1; i < g.outline.size(); ++i) outline.lineTo(g.outline[i].x, g.outline[i].y);
  outline.closeSubpath();
  QPen pen(ink.isValid() ? ink : colour(g.stroke));
  pen.setWidthF(g.lineWidth);
  pen.setJoinStyle(g.roundJoins ? Qt::RoundJoin : Qt::MiterJoin);
  painter.strokePath(outline, pen);

  QPainterPath squares;
  for (const Rect& r : g.squares) squares.addRect(r.x, r.y, r.width, r.height);
  painter.fillPath(squares, ink.isValid() ? ink : colour(g.fill));
  painter.restore();
}

QIcon markIcon(double opacity) {
  return QIcon(new MarkEngine(opacity));
}

}  // namespace ombru::menu::qt
