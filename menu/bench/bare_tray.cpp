// The yardstick for ombru-menu's footprint: a bare Qt tray application that
// draws one icon and does nothing else.

#include <QApplication>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  QPixmap pixmap(22, 22);
  pixmap.fill(Qt::transparent);
  {
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QApplication::palette().color(QPalette::WindowText), 2));
    p.drawRect(QRectF(4, 4, 14, 14));
  }
  QSystemTrayIcon tray{QIcon(pixmap)};
  tray.setToolTip(QStringLiteral("bare"));
  tray.show();
  return QApplication::exec();
}
