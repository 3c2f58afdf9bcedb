// ombru-ax over a simulated desktop read from the scene file named by
// OMBRU_AX_SCENE. Output and exit status are the tool's own; effects on the
// desktop go to the file named by OMBRU_AX_TRACE, one line each.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "main_flow.hpp"
#include "scene_sim.hpp"

namespace {

// Distinct from every status of the tool itself.
constexpr int kBadScene = 70;

void writeAll(std::FILE* f, std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), f);
}

}  // namespace

int main(int argc, char** argv) {
  const char* scenePath = std::getenv("OMBRU_AX_SCENE");
  if (scenePath == nullptr || *scenePath == '\0') {
    std::fputs("ombru-ax-sim: set OMBRU_AX_SCENE to a scene file\n", stderr);
    return kBadScene;
  }
  std::ifstream in(scenePath, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "ombru-ax-sim: cannot read %s\n", scenePath);
    return kBadScene;
  }
  std::stringstream buf;
  buf << in.rdbuf();
  std::string error;
  auto scene = ombru::ax::sim::loadScene(buf.str(), error);
  if (!scene) {
    std::fprintf(stderr, "ombru-ax-sim: %s: %s\n", scenePath, error.c_str());
    return kBadScene;
  }

  std::ofstream trace;
  if (const char* tracePath = std::getenv("OMBRU_AX_TRACE"); tracePath != nullptr && *tracePath) {
    trace.open(tracePath, std::ios::binary | std::ios::trunc);
    if (!trace) {
      std::fprintf(stderr, "ombru-ax-sim: cannot write %s\n", tracePath);
      return kBadScene;
    }
  }

  std::vector<std::string> args(argv, argv + argc);
  ombru::ax::sim::SimPlatform platform(scene, std::move(args));
  platform.onOut = [](std::string_view b) { writeAll(stdout, b); };
  platform.onErr = [](std::string_view b) {
    writeAll(stderr, b);
    std::fflush(stderr);
  };
  if (trace.is_open()) {
    platform.onTrace = [&trace](const std::string& line) { trace << line << '\n'; };
  }
  platform.onTimeLimit = [&trace]() {
    // The simulated process is stopped from outside, as hold expects.
    std::fflush(stdout);
    if (trace.is_open()) trace.close();
    std::signal(SIGTERM, SIG_DFL);
    std::raise(SIGTERM);
    std::_Exit(128 + SIGTERM);
  };
  const int status = ombru::ax::axMain(platform);
  std::fflush(stdout);
  if (trace.is_open()) trace.close();
  return status;
}
