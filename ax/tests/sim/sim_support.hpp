// Runs the core in-process over a scene given as JSON text.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "main_flow.hpp"
#include "scene_sim.hpp"
#include "tool.hpp"

namespace ombru::ax::testing {

struct Sim {
  explicit Sim(const std::string& sceneJson, std::vector<std::string> args = {"ombru-ax"}) {
    std::string error;
    scene = sim::loadScene(sceneJson, error);
    EXPECT_TRUE(scene) << error;
    if (!scene) scene = sim::loadScene("{}", error);
    platform = std::make_unique<sim::SimPlatform>(scene, std::move(args));
    tool = std::make_unique<Tool>(*platform);
    tool->appName = "Chat";
    const auto apps = platform->runningApplications();
    if (!apps.empty()) {
      tool->target = apps.front();
      tool->axApp = platform->applicationElement(apps.front().processIdentifier);
    }
  }

  // The element listed first under the application's "AXWindows".
  Element window() {
    auto w = frontWindow(*tool);
    EXPECT_TRUE(w.has_value());
    return w.value_or(Element());
  }

  std::shared_ptr<sim::SceneData> scene;
  std::unique_ptr<sim::SimPlatform> platform;
  std::unique_ptr<Tool> tool;
};

// A scene of one application, Chat, whose one window holds `children`.
// `window` holds the window's own keys, its frame by default.
inline std::string windowScene(const std::string& children,
                               const std::string& window = R"("frame": [0, 25, 1000, 800])",
                               const std::string& extra = "") {
  return R"({"apps": [{"name": "Chat", "pid": 1, "element": {"id": "app", "windows": [
    {"id": "main", "role": "AXWindow", )" +
         window + (window.empty() ? "" : ", ") + R"("children": [)" + children + "]}]}}]" + extra +
         "}";
}

inline std::string staticText(const std::string& label, double x = 16, double y = 100,
                              double w = 200, double h = 20) {
  std::string escaped;
  for (char c : label) {
    if (c == '"' || c == '\\') escaped += '\\';
    if (c == '\n') {
      escaped += "\\n";
      continue;
    }
    escaped += c;
  }
  return R"({"role": "AXStaticText", "value": ")" + escaped + R"(", "frame": [)" +
         std::to_string(x) + "," + std::to_string(y) + "," + std::to_string(w) + "," +
         std::to_string(h) + "]}";
}

// A sidebar list of `rows` rows 28 points apart, scrolled by the wheel 10
// points a line; `list` holds the list's further keys, `besides` further
// children of the window (such as a scroll bar).
inline std::string scrolledList(int rows, const std::string& list = "",
                                const std::string& besides = "") {
  return windowScene(R"({"id": "list", "role": "AXList", "frame": [0, 60, 280, 500],
      "scroll": {"lineHeight": 10}, )" +
                     list + (list.empty() ? "" : ", ") + R"("children": [
      {"role": "AXStaticText", "value": "channel-{i}", "frame": [16, 64, 200, 20],
       "step": [0, 28], "repeat": )" +
                     std::to_string(rows) + "}]}" + (besides.empty() ? "" : ", ") + besides);
}

inline std::size_t countPrefix(const std::vector<std::string>& trace, std::string_view prefix) {
  std::size_t n = 0;
  for (const std::string& line : trace) n += line.rfind(prefix, 0) == 0;
  return n;
}

// Runs a whole command line; returns the exit status.
inline int runTool(sim::SimPlatform& p) {
  return run(p);
}

}  // namespace ombru::ax::testing
