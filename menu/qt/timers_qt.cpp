#include "timers_qt.hpp"

#include <QTimer>

namespace ombru::menu::qt {

void QtTimers::every(int ms, std::function<void()> fn) {
  auto* timer = new QTimer(&owner_);
  // A precise timer keeps the poll at its fixed interval instead of letting
  // Qt drift it by up to 5%.
  timer->setTimerType(Qt::PreciseTimer);
  QObject::connect(timer, &QTimer::timeout, &owner_, std::move(fn));
  timer->start(ms);
}

void QtTimers::after(int ms, std::function<void()> fn) {
  QTimer::singleShot(ms, Qt::PreciseTimer, &owner_, std::move(fn));
}

}  // namespace ombru::menu::qt
