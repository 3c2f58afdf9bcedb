// ombru-ax against a real chat application in a private desktop session.
// OMBRU_E2E_TARGET picks the application: "gtk" (the GTK 3 chat window),
// "gtk4" (the GTK 4 one, its own suite at the end), "qt" (the Qt 6 widgets
// chat window), "chromium" (the chat page in Chromium), "firefox" (the page
// with rows of bare text in Firefox ESR, started while the desktop's
// accessibility switch is off) or "firefox-labels" (the same with label
// rows). The application is started once for the whole run; the cases run
// in order and each leaves the sidebar where the tool leaves it, as a caller
// would see it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "process.hpp"

using namespace std::chrono_literals;
using ombru::e2e::Result;

namespace {

struct Rect {
  long x = 0, y = 0, w = 0, h = 0;
};

bool targetIs(const char* name) {
  const char* t = std::getenv("OMBRU_E2E_TARGET");
  return t && std::string(t) == name;
}
bool targetIsChromium() {
  return targetIs("chromium");
}
// Firefox on the page of bare-text rows ("firefox") or of label rows
// ("firefox-labels").
bool targetIsFirefox() {
  return targetIs("firefox") || targetIs("firefox-labels");
}
std::string page() {
  return std::string("file://" OMBRU_CHAT_HTML) + (targetIs("firefox") ? "?plain=1" : "");
}

// A fresh profile that starts fast and quiet and never reaches the network,
// with the page's console copied to standard output for the records.
constexpr const char* kFirefoxPrefs = R"(user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("browser.aboutwelcome.enabled", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("app.update.disabledForTesting", true);
user_pref("network.proxy.type", 1);
user_pref("network.proxy.http", "127.0.0.1");
user_pref("network.proxy.http_port", 9);
user_pref("network.proxy.ssl", "127.0.0.1");
user_pref("network.proxy.ssl_port", 9);
user_pref("network.proxy.no_proxies_on", "");
user_pref("network.captive-portal-service.enabled", false);
user_pref("network.connectivity-service.enabled", false);
user_pref("browser.safebrowsing.malware.enabled", false);
user_pref("browser.safebrowsing.phishing.enabled", false);
user_pref("browser.safebrowsing.downloads.enabled", false);
user_pref("extensions.update.enabled", false);
user_pref("app.normandy.enabled", false);
user_pref("browser.newtabpage.enabled", false);
user_pref("browser.sessionstore.resume_from_crash", false);
user_pref("services.settings.server", "http://127.0.0.1:9/");
user_pref("media.gmp-manager.url", "http://127.0.0.1:9/");
user_pref("devtools.console.stdout.content", true);
)";

std::vector<std::string> chromiumArgs(const std::string& profile, const std::string& page) {
  return {"/usr/bin/chromium",
          "--no-sandbox",
          "--force-renderer-accessibility",
          "--test-type",
          "--user-data-dir=" + profile,
          "--disable-background-networking",
          "--disable-component-update",
          "--disable-sync",
          "--no-first-run",
          "--disable-gpu",
          "--disable-quic",
          "--enable-logging=stderr",
          "--v=0",
          "--window-position=0,0",
          "--window-size=1000,700",
          page};
}

class Chat : public ::testing::Test {
 protected:
  static inline pid_t target = -1;
  static inline std::string dir;
  static inline std::string log;  // what the target recorded
  static inline std::string app;  // the name the desktop lists it by
  static inline std::string failure;
  static inline Result firstRead;  // Firefox: the first call, with the switch off at its start

  static void SetUpTestSuite() {
    if (targetIs("gtk4")) return;  // its own suite below
    dir = ombru::e2e::makeTempDir("ombru-ax-e2e");
    log = dir + "/target.log";
    if (targetIsChromium()) {
      app = "Chromium";
      target = ombru::e2e::start(chromiumArgs(dir + "/profile", "file://" OMBRU_CHAT_HTML), log);
    } else if (targetIsFirefox()) {
      app = "Firefox";
      // Started while the switch is off: it stays off the accessibility bus
      // until the tool turns the switch on.
      ombru::e2e::run({"gdbus", "call", "--session", "--dest", "org.a11y.Bus", "--object-path",
                       "/org/a11y/bus", "--method", "org.freedesktop.DBus.Properties.Set",
                       "org.a11y.Status", "IsEnabled", "<false>"},
                      10s);
      const std::string profile = dir + "/profile";
      ombru::e2e::run({"mkdir", "-p", profile}, 10s);
      FILE* prefs = std::fopen((profile + "/user.js").c_str(), "w");
      if (prefs) {
        std::fputs(kFirefoxPrefs, prefs);
        std::fclose(prefs);
      }
      target =
          ombru::e2e::start({"/usr/bin/firefox-esr", "--no-remote", "--new-instance", "--profile",
                             profile, "--width", "1000", "--height", "700", page()},
                            log, {{"MOZ_CRASHREPORTER_DISABLE", "1"}});
    } else if (targetIs("qt")) {
      app = "ombru-chat-qt";
      target = ombru::e2e::start({OMBRU_CHAT_QT}, "", {{"OMBRU_TARGET_LOG", log}});
    } else {
      app = "ombru-chat-gtk";
      target = ombru::e2e::start({OMBRU_CHAT_GTK}, "", {{"OMBRU_TARGET_LOG", log}});
    }
    if (target <= 0) {
      failure = "could not start the target";
      return;
    }
    if (waitForRecord("ready", 60s).empty()) {
      failure = "the target never became ready";
      return;
    }
    if (targetIsFirefox()) firstRead = ax({"read", app});
    // The page's tree reaches the accessibility bus a little after it loads.
    for (int i = 0; i < 160; ++i) {
      Result r = ax({"probe", app});
      if (r.status == 0 && linesReachable(r.out) >= 7) return;
      std::this_thread::sleep_for(250ms);
    }
    failure = "the target's tree never appeared";
  }

  static void TearDownTestSuite() {
    ombru::e2e::stop(target);
    target = -1;
    ombru::e2e::removeTree(dir);
  }

  void SetUp() override {
    if (targetIs("gtk4")) GTEST_SKIP() << "not GTK 4";
    if (!failure.empty()) GTEST_FAIL() << failure;
  }

  static Result ax(const std::vector<std::string>& args, std::chrono::milliseconds limit = 90s,
                   const ombru::e2e::EnvChanges& env = {}) {
    std::vector<std::string> argv{OMBRU_AX};
    argv.insert(argv.end(), args.begin(), args.end());
    return ombru::e2e::run(argv, limit, env);
  }

  static long linesReachable(const std::string& out) {
    std::smatch m;
    static const std::regex re("^web-area-reachable lines=([0-9]+)\n$");
    return std::regex_match(out, m, re) ? std::stol(m[1]) : -1;
  }

  // The target's records, one per line. Chromium writes them as console
  // messages in its log: ...:CONSOLE:NN] "row general 15,149 58x18", source: ...
  static std::vector<std::string> records() {
    std::vector<std::string> out;
    for (const std::string& line : ombru::e2e::splitLines(ombru::e2e::readFile(log))) {
      if (targetIsFirefox()) {
        // console.log: "row general 15,149 58x18"
        static const std::string kPrefix = "console.log: \"";
        if (line.rfind(kPrefix, 0) == 0 && line.size() > kPrefix.size() && line.back() == '"')
          out.push_back(line.substr(kPrefix.size(), line.size() - kPrefix.size() - 1));
        continue;
      }
      if (!targetIsChromium()) {
        out.push_back(line);
        continue;
      }
      auto at = line.find(":CONSOLE");
      if (at == std::string::npos) continue;
      auto open = line.find('"', at);
      auto close = line.rfind("\", source:");
      if (open != std::string::npos && close != std::string::npos && close > open)
        out.push_back(line.substr(open + 1, close - open - 1));
    }
    return out;
  }

  // Waits for a record that starts with `prefix` and comes after the first
  // `skip` records; returns it, or "" after `limit`.
  static std::string waitForRecord(const std::string& prefix, std::chrono::milliseconds limit,
                                   size_t skip = 0) {
    auto end = std::chrono::steady_clock::now() + limit;
    do {
      auto all = records();
      for (size_t i = skip; i < all.size(); ++i)
        if (all[i].rfind(prefix, 0) == 0) return all[i];
      std::this_thread::sleep_for(50ms);
    } while (std::chrono::steady_clock::now() < end);
    return {};
  }

  // Clicks each row and holds every answer against the target's own log.
  static void clickEach(const std::string& name, const std::string& logPath,
                        const std::vector<std::vector<std::string>>& calls) {
    for (const std::vector<std::string>& call : calls) {
      const size_t before = ombru::e2e::splitLines(ombru::e2e::readFile(logPath)).size();
      std::vector<std::string> args{"click", name};
      args.insert(args.end(), call.begin(), call.end());
      Result r = ax(args);
      EXPECT_EQ(r.status, 0) << call[0];
      EXPECT_EQ(r.out, "yes " + call[0] + "\n") << call[0];
      // What the application selected: the first row after the call.
      std::string selected;
      for (int i = 0; i < 100 && selected.empty(); ++i) {
        auto lines = ombru::e2e::splitLines(ombru::e2e::readFile(logPath));
        for (size_t k = before; k < lines.size() && selected.empty(); ++k)
          if (lines[k].rfind("row ", 0) == 0) selected = lines[k];
        if (selected.empty()) std::this_thread::sleep_for(50ms);
      }
      if (r.out.rfind("yes ", 0) == 0) {
        EXPECT_EQ(selected.rfind("row " + call[0] + " ", 0), 0u)
            << "answered " << r.out << "but selected: " << selected;
      }
    }
  }

  static bool parseRect(const std::string& text, Rect& r) {
    std::smatch m;
    static const std::regex re("(-?[0-9]+),(-?[0-9]+) ([0-9]+)x([0-9]+)");
    if (!std::regex_search(text, m, re)) return false;
    r = {std::stol(m[1]), std::stol(m[2]), std::stol(m[3]), std::stol(m[4])};
    return true;
  }
};

TEST_F(Chat, AbsentApplicationIsNotRunning) {
  for (const char* mode : {"read", "windows", "click", "hold"}) {
    Result r = ax({mode, "No Such Chat", "general"}, 20s);
    EXPECT_EQ(r.status, 3) << mode;
    EXPECT_EQ(r.err, "app-not-running\n") << mode;
    EXPECT_EQ(r.out, "") << mode;
  }
  // Names are compared exactly: another letter case is another application.
  std::string upper = app;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  Result r = ax({"probe", upper}, 20s);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "app-not-running\n");

  Result usage = ax({"read"}, 20s);
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.out,
            "usage: ombru-ax <read|probe|click|find|text|field|hold|windows> <app name> [name "
            "...]\n");
  EXPECT_EQ(usage.err, "");
}

TEST_F(Chat, NoAccessibilityBusListsNoApplication) {
  // libatspi gives up the whole process when it finds no bus; the tool must
  // answer as for any application that is not there.
  std::string empty = ombru::e2e::makeTempDir("ombru-ax-nobus");
  Result r = ax({"read", app}, 20s,
                {{"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
                 {"AT_SPI_BUS_ADDRESS", std::nullopt},
                 {"DISPLAY", std::nullopt},
                 {"XDG_RUNTIME_DIR", empty}});
  ombru::e2e::removeTree(empty);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "app-not-running\n");
  EXPECT_EQ(r.out, "");
}

TEST_F(Chat, ReadAndProbeGiveTheConversation) {
  Result read = ax({"read", app});
  ASSERT_EQ(read.status, 0) << read.err;
  EXPECT_EQ(read.err, "");
  ASSERT_FALSE(read.out.empty());
  EXPECT_EQ(read.out.back(), '\n');
  auto lines = ombru::e2e::splitLines(read.out);
  const std::vector<std::string> conversation = {"Today",
                                                 "Alice: Morning all",
                                                 "Bob: Build is green again",
                                                 "Carol: Lunch at noon?",
                                                 "Alice: Shipping the fix today",
                                                 "Bob: Who has the release notes",
                                                 "Carol: Thanks, looks good"};
  // The conversation comes in document order; a line may repeat when both a
  // container and the text inside it carry it.
  auto at = lines.begin();
  for (const std::string& want : conversation) {
    at = std::find(at, lines.end(), want);
    ASSERT_NE(at, lines.end()) << "missing or out of order: " << want << "\n" << read.out;
  }
  for (const std::string& line : lines) {
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.find("\xEF\xBF\xBC"), std::string::npos) << "object placeholder in " << line;
  }

  Result probe = ax({"probe", app});
  ASSERT_EQ(probe.status, 0);
  EXPECT_EQ(linesReachable(probe.out), static_cast<long>(lines.size())) << probe.out;
}

TEST_F(Chat, FirefoxStartedWithTheSwitchOffIsFoundByOneCall) {
  if (!targetIsFirefox()) GTEST_SKIP() << "Firefox only";
  // Found, and its whole conversation read by that one call, although
  // Firefox joins only during it and builds the page's tree after that.
  EXPECT_EQ(firstRead.status, 0) << firstRead.err;
  EXPECT_EQ(firstRead.err, "");
  for (const char* line :
       {"\nAlice: Morning all\n", "\nCarol: Thanks, looks good\n", "Type a message\n"})
    EXPECT_NE(firstRead.out.find(line), std::string::npos) << line << " in\n" << firstRead.out;
  EXPECT_EQ(firstRead.out, ax({"read", app}).out);
}

// Firefox keeps its text in runs of its elements' text, Chromium in text
// elements: the same page reads the same.
TEST_F(Chat, FirefoxReadsAsChromium) {
  if (!targetIsFirefox()) GTEST_SKIP() << "Firefox only";
  if (access("/usr/bin/chromium", X_OK) != 0) GTEST_SKIP() << "no Chromium";
  Result firefox = ax({"read", app});
  pid_t chromium = ombru::e2e::start(chromiumArgs(dir + "/chromium", page()), "");
  Result other;
  for (int i = 0; i < 160; ++i) {
    other = ax({"read", "Chromium"}, 30s);
    if (other.status == 0 && other.out.find("Carol: Thanks, looks good") != std::string::npos)
      break;
    std::this_thread::sleep_for(250ms);
  }
  ombru::e2e::stop(chromium);
  EXPECT_EQ(firefox.status, 0);
  EXPECT_GT(ombru::e2e::splitLines(firefox.out).size(), 50u) << firefox.out;
  EXPECT_EQ(firefox.out, other.out);
}

// The tree is read in bulk by default; OMBRU_AX_WALK=serial reads every
// attribute with one call of its own. Both must answer byte for byte alike.
// None of these commands changes the page (field's focus and click are made
// once before, so both walks meet the same focused box).
TEST_F(Chat, BulkWalkAnswersAsTheSerialWalk) {
  ASSERT_EQ(ax({"field", app}).status, 0);
  const ombru::e2e::EnvChanges serial = {{"OMBRU_AX_WALK", "serial"}};
  for (std::vector<std::string> args :
       std::vector<std::vector<std::string>>{{"read"}, {"text"}, {"find", "random"}, {"field"}}) {
    args.insert(args.begin() + 1, app);
    Result one = ax(args, 90s, serial);
    Result bulk = ax(args);
    EXPECT_EQ(one.status, 0) << args[0];
    EXPECT_EQ(bulk.status, one.status) << args[0];
    EXPECT_EQ(bulk.out, one.out) << args[0];
    EXPECT_EQ(bulk.err, one.err) << args[0];
    EXPECT_GT(bulk.out.size(), 1u) << args[0];
  }
}

TEST_F(Chat, WindowsCountsOrdinaryWindows) {
  Result r = ax({"windows", app});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "1\n");
  if (targetIs("qt") || targetIsFirefox()) return;
  if (targetIsChromium()) {
    // Found by its executable's name, but no window is owned by that name.
    Result byId = ax({"windows", "chromium"});
    EXPECT_EQ(byId.status, 0);
    EXPECT_EQ(byId.out, "0\n");
    return;
  }
  // Two conversation windows and a tall tool window: only the two count.
  pid_t more =
      ombru::e2e::start({OMBRU_CHAT_GTK, "--name", "ombru-chat-more", "--windows", "2", "--tool"},
                        "", {{"OMBRU_TARGET_LOG", dir + "/more.log"}});
  Result two;
  for (int i = 0; i < 40; ++i) {
    two = ax({"windows", "ombru-chat-more"});
    if (two.out == "2\n") break;
    std::this_thread::sleep_for(250ms);
  }
  ombru::e2e::stop(more);
  EXPECT_EQ(two.status, 0);
  EXPECT_EQ(two.out, "2\n");
}

TEST_F(Chat, TextFindAndClickAgreeWithTheTarget) {
  Result text = ax({"text", app});
  ASSERT_EQ(text.status, 0) << text.err;
  // Firefox lists the row around the text too: one of them is the text.
  std::vector<long> textXs;
  for (const std::string& line : ombru::e2e::splitLines(text.out)) {
    auto tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    if (line.substr(tab + 1) == "random") textXs.push_back(std::stol(line.substr(0, tab)));
  }
  ASSERT_FALSE(textXs.empty()) << text.out;
  // The conversation is listed too, right of the sidebar.
  EXPECT_NE(text.out.find("\tAlice: Morning all\n"), std::string::npos) << text.out;

  Result find = ax({"find", app, "random"});
  ASSERT_EQ(find.status, 0);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(find.out, m, std::regex("yes random @ (.*) AXStaticText\n")))
      << find.out;
  Rect found;
  ASSERT_TRUE(parseRect(m[1], found));

  size_t before = records().size();
  Result click = ax({"click", app, "random"});
  EXPECT_EQ(click.status, 0);
  EXPECT_EQ(click.out, "yes random\n");
  std::string record = waitForRecord("row ", 5s, before);
  ASSERT_EQ(record.rfind("row random ", 0), 0u) << record;
  // Where the target itself placed the row.
  Rect truth;
  ASSERT_TRUE(parseRect(record.substr(11), truth)) << record;
  EXPECT_NEAR(found.x, truth.x, 1);
  EXPECT_NEAR(found.y, truth.y, 1);
  EXPECT_NEAR(found.w, truth.w, 1);
  EXPECT_NEAR(found.h, truth.h, 1);
  EXPECT_TRUE(std::any_of(textXs.begin(), textXs.end(), [&](long x) {
    return x >= truth.x - 1 && x <= truth.x + 1;
  })) << text.out;
}

TEST_F(Chat, WithoutADisplayClickFallsBackToThePressAction) {
  // No pointer event can be built, so the row's own press action (or its
  // ancestors') is the only way; GTK and Qt labels and rows offer none.
  size_t before = records().size();
  Result r = ax({"click", app, "random"}, 90s, {{"DISPLAY", std::nullopt}});
  EXPECT_EQ(r.status, 0);
  if (targetIsChromium() || targetIsFirefox()) {
    EXPECT_EQ(r.out, "yes random\n");
    EXPECT_EQ(waitForRecord("row ", 5s, before).rfind("row random ", 0), 0u);
  } else {
    EXPECT_EQ(r.out, "no press random\n");
  }
  Result windows = ax({"windows", app}, 30s, {{"DISPLAY", std::nullopt}});
  EXPECT_EQ(windows.status, 0);
  EXPECT_EQ(windows.out, "0\n");
}

TEST_F(Chat, ClickScrollsToARowOutOfView) {
  size_t before = records().size();
  Result r = ax({"click", app, "cooking"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "yes cooking\n");
  std::string record = waitForRecord("row ", 5s, before);
  EXPECT_EQ(record.rfind("row cooking ", 0), 0u) << record;
}

TEST_F(Chat, ClickOpensTheGroupForARowInside) {
  size_t before = records().size();
  Result r = ax({"click", app, "Standup", "--group", "Work"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "yes Standup\n");
  EXPECT_NE(waitForRecord("group Work", 5s, before), "");
  std::string record = waitForRecord("row ", 5s, before);
  EXPECT_EQ(record.rfind("row Standup ", 0), 0u) << record;
}

TEST_F(Chat, RowThatIsNowhereIsNo) {
  size_t before = records().size();
  Result r = ax({"find", app, "no such channel"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "no\n");
  EXPECT_EQ(r.err, "");
  std::this_thread::sleep_for(300ms);
  for (size_t i = before; i < records().size(); ++i)
    EXPECT_NE(records()[i].rfind("row ", 0), 0u) << "find pressed " << records()[i];

  Result none = ax({"click", app});
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(none.out, "no names\n");
}

TEST_F(Chat, FieldFocusesAndClicksTheMessageBox) {
  size_t before = records().size();
  Result r = ax({"field", app});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "yes Type a message\n");
  EXPECT_NE(waitForRecord("focus message", 5s, before), "");
  std::string click = waitForRecord("click message ", 5s, before);
  ASSERT_NE(click, "");
  Rect at, box;
  auto in = click.find(" in ");
  ASSERT_NE(in, std::string::npos);
  ASSERT_TRUE(parseRect(click.substr(14, in - 14) + " 0x0", at)) << click;
  ASSERT_TRUE(parseRect(click.substr(in + 4), box)) << click;
  // The click lands in the middle of the box.
  EXPECT_NEAR(at.x, box.x + box.w / 2, 2) << click;
  EXPECT_NEAR(at.y, box.y + box.h / 2, 2) << click;
}

TEST_F(Chat, HoldRunsUntilStopped) {
  std::string out = dir + "/hold.out";
  pid_t hold = ombru::e2e::start({OMBRU_AX, "hold", app}, out);
  ASSERT_GT(hold, 0);
  // Past the start-up pauses and into the first cycles.
  std::this_thread::sleep_for(4s);
  EXPECT_TRUE(ombru::e2e::alive(hold));
  int status = ombru::e2e::stop(hold);
  EXPECT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(ombru::e2e::readFile(out), "");
}

TEST_F(Chat, TargetThatStopsAnsweringDoesNotHangTheTool) {
  if (!targetIs("gtk")) GTEST_SKIP() << "one target is enough for this";
  kill(target, SIGSTOP);
  Result r = ax({"read", app}, 120s);
  kill(target, SIGCONT);
  EXPECT_FALSE(r.timedOut);
  // It ends with an answer of its own: the window could not be read.
  EXPECT_EQ(r.status, 4) << r.out << r.err;
  EXPECT_EQ(r.err, "no-windows\n");
}

// Qt lists every row of its scroll area, scrolled away or not, at its
// unclipped place: each "yes" must be the row the application selected.
class QtChat : public Chat {
 protected:
  void SetUp() override {
    if (!targetIs("qt")) GTEST_SKIP() << "Qt only";
    Chat::SetUp();
  }

  static inline const std::vector<std::vector<std::string>> kCalls = {
      {"general"}, {"cooking"}, {"Planning"}, {"Retro"}, {"Quarterly plan", "--group", "Work"}};
};

TEST_F(QtChat, EveryYesIsTheRowTheTargetSelected) {
  clickEach(app, log, kCalls);
}

TEST_F(QtChat, SidebarScrolledBeforeTheCall) {
  const std::string name = "ombru-chat-qt-scrolled";
  const std::string otherLog = dir + "/scrolled.log";
  pid_t other = ombru::e2e::start({OMBRU_CHAT_QT, "--name", name, "--scrolled", "700"}, "",
                                  {{"OMBRU_TARGET_LOG", otherLog}});
  ASSERT_GT(other, 0);
  for (int i = 0; i < 100 && ax({"windows", name}).out != "1\n"; ++i)
    std::this_thread::sleep_for(100ms);
  clickEach(name, otherLog,
            {{"Retro"}, {"general"}, {"Planning"}, {"Quarterly plan", "--group", "Work"}});
  ombru::e2e::stop(other);
}

TEST_F(QtChat, BesideTwoBusyLoops) {
  std::vector<pid_t> loops;
  for (int i = 0; i < 2; ++i)
    loops.push_back(ombru::e2e::start({"/bin/sh", "-c", "while :; do :; done"}, ""));
  clickEach(app, log, {{"announcements"}, {"basketball"}, {"Standup", "--group", "Work"}});
  for (pid_t p : loops) ombru::e2e::stop(p);
}

// GTK 4.8 places its elements relative to the window and marks none below
// it as showing: the tool adds the window's place on screen.
class Gtk4Chat : public Chat {
 protected:
  static void SetUpTestSuite() {
    if (!targetIs("gtk4")) return;
    dir = ombru::e2e::makeTempDir("ombru-ax-e2e4");
    log = dir + "/target.log";
    app = "ombru-chat-gtk4";
    target = ombru::e2e::start({OMBRU_CHAT_GTK4}, "", {{"OMBRU_TARGET_LOG", log}});
    failure.clear();
    if (target <= 0 || waitForRecord("ready", 30s).empty()) failure = "the target never started";
  }
  static void TearDownTestSuite() {
    if (!targetIs("gtk4")) return;
    ombru::e2e::stop(target);
    ombru::e2e::removeTree(dir);
  }
  void SetUp() override {
    if (!targetIs("gtk4")) GTEST_SKIP() << "GTK 4 only";
    if (!failure.empty()) GTEST_FAIL() << failure;
  }
};

TEST_F(Gtk4Chat, EveryYesIsTheRowTheTargetSelected) {
  clickEach(app, log, {{"random"}, {"climbing"}, {"Standup", "--group", "Work"}, {"general"}});
}

// With a second window ("Notes", with rows of the same names), each
// element is placed by its own window: every "yes" is the row of that name
// that the application selected, in whichever window was the front one,
// never a point between the two.
TEST_F(Gtk4Chat, TwoWindowsEachElementPlacedByItsOwnWindow) {
  const std::string notesLog = dir + "/notes.log";
  pid_t notes = ombru::e2e::start({OMBRU_CHAT_GTK4}, "",
                                  {{"OMBRU_TARGET_LOG", notesLog}, {"OMBRU_TARGET_NOTES", "1"}});
  ASSERT_GT(notes, 0);
  const std::string name = "ombru-chat-gtk4-notes";
  auto lines = [&] { return ombru::e2e::splitLines(ombru::e2e::readFile(notesLog)); };
  bool ready = false;
  for (int i = 0; i < 300 && !ready; ++i) {
    for (const std::string& l : lines()) ready = ready || l == "ready";
    if (!ready) std::this_thread::sleep_for(100ms);
  }
  ASSERT_TRUE(ready) << "the two-window target never started";
  EXPECT_EQ(ax({"windows", name}).out, "2\n");
  for (const std::string row : {"random", "general", "climbing"}) {
    const size_t before = lines().size();
    Result r = ax({"click", name, row});
    EXPECT_EQ(r.status, 0) << row;
    // Both windows have these two rows in view.
    if (row != "climbing") {
      EXPECT_EQ(r.out, "yes " + row + "\n");
    }
    std::string selected;
    for (int i = 0; i < 100 && selected.empty() && r.out.rfind("yes ", 0) == 0; ++i) {
      auto now = lines();
      for (size_t k = before; k < now.size() && selected.empty(); ++k)
        if (now[k].rfind("row ", 0) == 0 || now[k].rfind("notes ", 0) == 0) selected = now[k];
      if (selected.empty()) std::this_thread::sleep_for(50ms);
    }
    if (r.out.rfind("yes ", 0) == 0) {
      EXPECT_TRUE(selected.rfind("row " + row + " ", 0) == 0 || selected == "notes " + row)
          << "answered " << r.out << "but selected: " << selected;
    }
  }
  ombru::e2e::stop(notes);
}

TEST_F(Gtk4Chat, TextAndFieldFindTheirElements) {
  Result text = ax({"text", app});
  EXPECT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("\tgeneral\n"), std::string::npos) << text.out;
  Result field = ax({"field", app});
  EXPECT_EQ(field.status, 0);
  EXPECT_EQ(field.out.rfind("yes Type a message", 0), 0u) << field.out;
}

}  // namespace
