// Entry point of ombru-ax, shared by every backend's main().
#pragma once

#include "platform.hpp"

namespace ombru::ax {

// One run of the tool: start-up, one sub-command. Returns its exit status
// (hold never returns by itself).
int run(Platform& platform);

// run(), then platform.exit(status). A backend's main is just
//   int main(int argc, char** argv) { MyPlatform p(argc, argv); return ombru::ax::axMain(p); }
int axMain(Platform& platform);

}  // namespace ombru::ax
