#include "main_flow.hpp"

namespace ombru::ax {

int run(Platform& platform) {
  static constexpr char kUsage[] =
      "usage: ombru-ax <read|probe|click|find|text|field|hold|windows> <app name> [name ...]\n";
  if (platform.arguments().size() < 3) {
    platform.writeOut(kUsage);
    return 2;
  }
  return 0;
}

int axMain(Platform& platform) {
  int status = run(platform);
  platform.exit(status);
  return status;
}

}  // namespace ombru::ax
