#pragma once
// Main-thread timers on the Qt event loop.

#include <QObject>

#include "platform.hpp"

namespace ombru::menu::qt {

class QtTimers final : public Timers {
 public:
  void every(int ms, std::function<void()> fn) override;
  void after(int ms, std::function<void()> fn) override;

 private:
  QObject owner_;  // parent of every timer, so they stop with this object
};

}  // namespace ombru::menu::qt
