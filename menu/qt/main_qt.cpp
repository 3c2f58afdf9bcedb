#include <QApplication>
#include <cstdio>

#include "controller_qt.hpp"
#include "display.hpp"
#include "single_instance.hpp"

int main(int argc, char** argv) {
  // Before any window system contact: a second copy leaves without a trace.
  if (ombru::menu::qt::olderCopyRunning()) return 0;
  // Qt would abort with a core dump; say why and leave with a failure.
  if (const auto problem = ombru::menu::qt::displayProblem()) {
    std::fprintf(stderr, "ombru-menu: %s\n", problem->c_str());
    return 1;
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("ombru-menu"));
  QApplication::setApplicationDisplayName(QStringLiteral("Ombru Voice"));
  QGuiApplication::setDesktopFileName(QStringLiteral("ombru-menu"));
  // There is no window: closing the menu must not end the application.
  QApplication::setQuitOnLastWindowClosed(false);

  ombru::menu::qt::Controller controller(ombru::menu::qt::Deps::real());
  controller.start();
  return QApplication::exec();
}
