// Feeds arbitrary bytes to the scene loader, and runs every loaded scene once.
#include <cstddef>
#include <cstdint>
#include <string>

#include "main_flow.hpp"
#include "scene_sim.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  auto scene =
      ombru::ax::sim::loadScene(std::string(reinterpret_cast<const char*>(data), size), error);
  if (!scene) return 0;
  for (const char* mode : {"text", "find", "read", "field", "windows"}) {
    ombru::ax::sim::SimPlatform p(scene, {"ombru-ax", mode, "Chat", "a"});
    ombru::ax::run(p);
  }
  return 0;
}
