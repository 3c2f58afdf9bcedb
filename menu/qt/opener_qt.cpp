#include "opener_qt.hpp"

#include <QDesktopServices>
#include <QUrl>

namespace ombru::menu::qt {

void DesktopOpener::open(const std::string& path) {
  // A file address, not a shell command: spaces in the path need no quoting.
  QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path)));
}

}  // namespace ombru::menu::qt
