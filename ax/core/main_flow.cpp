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

std::optional<RunningApp> lookUp(Platform& platform, std::string_view name) {
  for (RunningApp& app : platform.runningApplications()) {
    if (matches(app, name)) return std::move(app);
  }
  return std::nullopt;
}

}  // namespace

bool mayBeStarting(std::string_view appName, std::string_view processName) {
  const std::string want = text::lower(appName);
  const std::string have = text::lower(processName);
  if (want.empty()) return false;
  // "Firefox" runs as firefox-esr.
  return have == want || (have.size() > want.size() && have.compare(0, want.size(), want) == 0 &&
                          have[want.size()] == '-');
}

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

  // One bound for the whole wait for an application that is starting.
  const auto joinUntil = platform.now() + kJoinWait;
  std::optional<RunningApp> found = lookUp(platform, t.appName);
  if (!found) {
    // An application that has just started, or has just been asked to by
    // the accessibility switch, joins the tree a moment later.
    bool starting = false;
    for (const std::string& p : platform.processNames()) {
      starting = starting || mayBeStarting(t.appName, p);
    }
    while (starting && !found && platform.now() < joinUntil) {
      platform.sleepFor(kJoinPoll);
      found = lookUp(platform, t.appName);
    }
  }
  if (found) t.target = std::move(*found);
  if (!found) {
    platform.writeErr("app-not-running\n");
    return 3;
  }

  t.axApp = platform.applicationElement(t.target.processIdentifier);
  // Right after it joins, an application may still be building what it
  // shows; a read then would answer part of it as if it were all.
  if (platform.settling(t.axApp)) {
    while (platform.now() < joinUntil) {
      platform.sleepFor(kJoinPoll);
      if (!platform.settling(t.axApp)) break;
    }
    t.axApp = platform.applicationElement(t.target.processIdentifier);
  }
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
