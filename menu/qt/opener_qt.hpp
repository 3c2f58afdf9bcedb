#pragma once
// Opens files in the user's default applications.

#include "platform.hpp"

namespace ombru::menu::qt {

class DesktopOpener final : public Opener {
 public:
  void open(const std::string& path) override;
};

}  // namespace ombru::menu::qt
