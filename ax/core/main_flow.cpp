#include "main_flow.hpp"

#include "constants.hpp"
#include "text.hpp"
#include "tool.hpp"

namespace ombru::ax {

using namespace std::chrono_literals;

namespace {

constexpr char kUsage[] =
    "usage: ombru-ax <read|probe|click|find|text|field|hold|windows> <app name> [name ...]\n";

bool matches(const RunningApp& app, std::string_view name) {
  return text::equal(app.localizedName.value_or(""), name) ||
         text::equal(app.bundleIdentifier.value_or(""), name);
}

}  // namespace

int run(Platform& platform) {
  Tool t(platform);
  t.args = platform.arguments();
  if (t.args.size() < 3) {
    platform.writeOut(kUsage);
    return 2;
  }
  t.mode = t.args[1];
  t.appName = t.args[2];
  for (std::size_t i = 3; i < t.args.size(); ++i) {
    std::string name = text::trimSpacesAndTabs(t.args[i]);
    if (!name.empty()) t.wanted.push_back(std::move(name));
  }

  bool found = false;
  for (RunningApp& app : platform.runningApplications()) {
    if (matches(app, t.appName)) {
      t.target = std::move(app);
      found = true;
      break;
    }
  }
  if (!found) {
    platform.writeErr("app-not-running\n");
    return 3;
  }

  t.axApp = platform.applicationElement(t.target.processIdentifier);
  wake(t);
  platform.sleepFor(kStartupPause);

  if (t.mode == "text") return textCommand(t);
  if (t.mode == "windows") return windowsCommand(t);
  if (t.mode == "hold") return holdCommand(t);
  if (t.mode == "field") return fieldCommand(t);
  if (t.mode == "click" || t.mode == "find") return rowCommand(t, t.mode == "click");
  return conversationCommand(t, t.mode == "probe");
}

int axMain(Platform& platform) {
  const int status = run(platform);
  platform.exit(status);
  return status;
}

}  // namespace ombru::ax
