// The controller with its real Qt backends against the stand-in daemon on
// loopback: polling, failing daemons, the commands on the wire, refreshes.

#include <gtest/gtest.h>

#include <optional>

#include <nlohmann/json.hpp>

#include "http_qt.hpp"
#include "qt_support.hpp"
#include "timers_qt.hpp"

namespace ombru::menu::qt::test {
namespace {

const QString NOT_RUNNING = QString::fromUtf8("Ombru Voice — not running");

// Real HTTP and, unless asked, no periodic poll: the test decides when.
Deps realDeps(Rig& rig, const std::string& base, bool realTimers = false) {
  Deps d = rig.deps(base);
  d.http = std::make_shared<QtHttp>();
  if (realTimers) d.timers = std::make_shared<QtTimers>();
  return d;
}

// Counts the GETs a controller sends, passing everything to the real backend.
class CountingHttp final : public Http {
 public:
  QtHttp real;
  int gets = 0, posts = 0, postsDone = 0;
  bool get(const std::string& url, int ms,
           std::function<void(std::optional<std::string>)> done) override {
    ++gets;
    return real.get(url, ms, std::move(done));
  }
  bool post(const std::string& url, const std::string& body, int ms,
            std::function<void()> done) override {
    ++posts;
    return real.post(url, body, ms, [this, done = std::move(done)] {
      ++postsDone;
      done();
    });
  }
};

TEST(MenuQtDaemon, PollsAtOnceThenEveryThreeSecondsAndBuildsTheMenuOnlyOnceOpened) {
  DevDaemon daemon;
  ASSERT_TRUE(daemon.ok());
  Rig rig;
  Controller c(realDeps(rig, daemon.base(), /*realTimers=*/true));
  QElapsedTimer clock;
  clock.start();
  c.start();
  auto polls = [&] { return daemon.count("GET", "/state"); };
  ASSERT_TRUE(waitUntil([&] { return polls() == 1; }, 3000)) << "the first poll comes at once";
  ASSERT_TRUE(waitUntil([&] { return c.state().running; }, 3000));
  // The timer started after the clock, so no poll can come before its 3 s
  // mark; how late one comes depends on the machine's load, so only the
  // count read before a mark is checked, and the next poll gets time.
  auto before = [&](int ms) {
    spin(ms - static_cast<int>(clock.elapsed()));
    const size_t n = polls();
    return clock.elapsed() < ms + 300 ? std::optional<size_t>(n) : std::nullopt;
  };
  if (auto n = before(2600)) {
    EXPECT_EQ(*n, 1u) << "no second poll before 3 s";
  }
  ASSERT_TRUE(waitUntil([&] { return polls() == 2; }, 3000)) << "the second poll at 3 s";
  spin(200);
  EXPECT_TRUE(c.menu()->actions().isEmpty()) << "polls alone never build the menu";
  EXPECT_EQ(c.builds(), 0);

  c.menu()->popup(QPoint(0, 0));  // opening it builds it
  EXPECT_EQ(c.builds(), 1);
  EXPECT_NE(findAction(c.menu(), "Mute"), nullptr);
  c.menu()->hide();

  if (auto n = before(5600)) {
    EXPECT_EQ(*n, 2u) << "no third poll before 6 s";
  }
  ASSERT_TRUE(waitUntil([&] { return polls() == 3; }, 3000)) << "the third poll at 6 s";
  ASSERT_TRUE(waitUntil([&] { return c.builds() == 2; }, 3000)) << "a closed menu is rebuilt";
}

TEST(MenuQtDaemon, AbsentSilentDrippingAndSlowDaemonsLookNotRunningWithinTheDeadline) {
  DevDaemon silent({"--silent"}), drip({"--drip", "400"}), slow({"--slow", "5000"});
  ASSERT_TRUE(silent.ok() && drip.ok() && slow.ok());
  const std::vector<std::string> bases = {"http://127.0.0.1:" + std::to_string(closedPort()),
                                          silent.base(), drip.base(), slow.base()};
  Rig rig;
  std::vector<std::unique_ptr<Controller>> controllers;
  for (const auto& base : bases)
    controllers.push_back(std::make_unique<Controller>(realDeps(rig, base)));
  QElapsedTimer clock;
  clock.start();
  for (auto& c : controllers) c->start();
  std::vector<qint64> lookedDown(controllers.size(), -1);
  waitUntil(
      [&] {
        bool all = true;
        for (size_t i = 0; i < controllers.size(); ++i) {
          if (lookedDown[i] < 0 && controllers[i]->toolTip() == NOT_RUNNING)
            lookedDown[i] = clock.elapsed();
          all = all && lookedDown[i] >= 0;
        }
        return all;
      },
      4000);
  for (size_t i = 0; i < bases.size(); ++i) {
    SCOPED_TRACE(bases[i]);
    ASSERT_GE(lookedDown[i], 0) << "never showed not running";
    EXPECT_LE(lookedDown[i], 2900) << "the 2.5 s deadline bounds the whole exchange";
    EXPECT_FALSE(controllers[i]->state().running);
  }
  EXPECT_LT(lookedDown[0], 1000) << "a refused connection is known at once";
  EXPECT_GE(lookedDown[2], 2400) << "the dripping daemon is cut off at the deadline, not before";
}

TEST(MenuQtDaemon, GarbageIsNotRunningAndAnErrorStatusWithAnObjectIsRunning) {
  DevDaemon garbage({"--garbage"}), error({"--status", "503"});
  ASSERT_TRUE(garbage.ok() && error.ok());
  Rig rig;
  Controller g(realDeps(rig, garbage.base())), e(realDeps(rig, error.base()));
  g.start();
  e.start();
  ASSERT_TRUE(waitUntil(
      [&] {
        return g.toolTip() == NOT_RUNNING &&
               e.toolTip() == QString::fromUtf8("Ombru Voice — listening");
      },
      2000));
  EXPECT_TRUE(e.state().running);
  EXPECT_FALSE(e.state().active.empty());
}

struct Expected {
  QString title;
  std::string path;
  nlohmann::json body;
};

TEST(MenuQtDaemon, EachEntryPostsItsBodyAndTheMenuShowsTheDaemonsAnswer) {
  DevDaemon daemon;
  ASSERT_TRUE(daemon.ok());
  Rig rig;
  Controller c(realDeps(rig, daemon.base()));
  c.start();
  ASSERT_TRUE(waitUntil([&] { return c.state().running; }, 2000));
  ASSERT_FALSE(c.state().muted);
  ASSERT_GE(c.state().active.size(), 1u);
  const Active first = c.state().active[0];
  ASSERT_TRUE(first.loopOn);
  c.menu()->popup(QPoint(0, 0));
  c.menu()->hide();

  using nlohmann::json;
  const std::vector<Expected> entries = {
      {"Mute", "/mute", json{{"muted", true}}},
      {"Unmute", "/mute", json{{"muted", false}}},
      {"Smart loop on — click to turn off", "/loop", json{{"key", first.key}, {"on", false}}},
      {"  30 minutes", "/loop", json{{"key", first.key}, {"minutes", 30}, {"on", true}}},
      {"All smart loops off", "/loop", json{{"all", true}, {"on", false}}},
      {"All smart loops on", "/loop", json{{"all", true}, {"on", true}}},
      {"Talk to this session", "/bind", json{{"project", first.spoken}}},
  };
  size_t seen = 0;
  for (const auto& e : entries) {
    SCOPED_TRACE(e.title.toStdString());
    QAction* a = findAction(c.menu(), e.title);
    ASSERT_NE(a, nullptr);
    const size_t polls = daemon.count("GET", "/state");
    const int builds = c.builds();
    a->trigger();
    ASSERT_TRUE(waitUntil([&] { return c.builds() > builds; }, 2000)) << "refreshed after";
    EXPECT_EQ(daemon.count("GET", "/state"), polls + 1);
    const auto posted = daemon.requests();
    std::vector<DevDaemon::Request> posts;
    for (const auto& r : posted)
      if (r.method == "POST") posts.push_back(r);
    ASSERT_EQ(posts.size(), ++seen);
    EXPECT_EQ(posts.back().path, e.path);
    const json body = json::parse(posts.back().body, nullptr, false);
    EXPECT_EQ(body, e.body) << posts.back().body;
    if (body.contains("minutes")) {
      EXPECT_TRUE(body["minutes"].is_number_integer());
    }
  }
  // The daemon applied them, and the last poll shows it.
  EXPECT_FALSE(c.state().muted);
  EXPECT_EQ(c.state().active[0].minutes, 30.0);
}

TEST(MenuQtDaemon, EveryCommandLeadsToExactlyOneRefreshEvenWhenTheDaemonIsGone) {
  auto http = std::make_shared<CountingHttp>();
  Rig rig;
  auto daemon = std::make_unique<DevDaemon>();
  ASSERT_TRUE(daemon->ok());
  Deps d = rig.deps(daemon->base());
  d.http = http;
  Controller c(std::move(d));
  c.start();
  ASSERT_TRUE(waitUntil([&] { return c.state().running; }, 2000));
  c.build();
  daemon.reset();  // stopped: every command now meets a refused connection

  const QStringList titles = {"Mute", "All smart loops off", "All smart loops on",
                              "Talk to this session"};
  std::vector<QAction*> chosen;
  for (const QString& t : titles) chosen.push_back(findAction(c.menu(), t));
  const int gets = http->gets;
  // Chosen at once, one after another, from the same built menu.
  for (QAction* a : chosen) {
    ASSERT_NE(a, nullptr);
    a->trigger();
  }
  ASSERT_TRUE(waitUntil([&] { return http->postsDone == static_cast<int>(titles.size()); }, 3500));
  spin(300);
  EXPECT_EQ(http->posts, titles.size());
  EXPECT_EQ(http->gets - gets, titles.size()) << "one poll per command, no more, no less";
  EXPECT_FALSE(c.state().running);
}

TEST(MenuQtDaemon, ACommandToASilentDaemonEndsAtItsDeadlineAndStillRefreshes) {
  DevDaemon silent({"--silent"});
  ASSERT_TRUE(silent.ok());
  auto http = std::make_shared<CountingHttp>();
  Rig rig;
  Deps d = rig.deps(silent.base());
  d.http = http;
  Controller c(std::move(d));
  c.toggleMute();  // not started: no poll of its own
  QElapsedTimer clock;
  clock.start();
  ASSERT_TRUE(waitUntil([&] { return http->postsDone == 1; }, 4000));
  EXPECT_GE(clock.elapsed(), 2800);
  EXPECT_LE(clock.elapsed(), 3500);
  EXPECT_EQ(http->gets, 1);
}

}  // namespace
}  // namespace ombru::menu::qt::test
