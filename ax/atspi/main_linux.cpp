#include "main_flow.hpp"
#include "platform_linux.hpp"

int main(int argc, char** argv) {
  ombru::ax::desktop::LinuxPlatform platform(argc, argv);
  return ombru::ax::axMain(platform);
}
