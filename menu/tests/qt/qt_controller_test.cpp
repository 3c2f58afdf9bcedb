// The controller against fakes: when it polls, when it builds the menu, how
// the menu mirrors the core's tree, and what each chosen item does.

#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QPointer>

#include "qt_support.hpp"

namespace ombru::menu::qt::test {
namespace {

// Two hosts, a title with an ampersand, loops on and off, waiting sessions.
const char* RICH = R"({"muted":false,"chat":true,"bound":"parser",
  "last":{"takeaway":"Comments survive now","project":"parser"},
  "engines":{"voice":"kokoro","hearing":"whisper"},
  "waiting":[{"project":"billing"},{"project":"docs"}],
  "active":[
    {"key":"k1","host":"Terminal","title":"R&D notes","spoken":"notes","state":"busy",
     "idle_minutes":3,"loop":{"on":true,"minutes":10},"next_in":125},
    {"key":"k2","host":"Code","title":"Client","spoken":"client","state":"",
     "loop":{"on":false,"minutes":30},"next_in":5},
    {"key":"k3","host":"Terminal","title":"Docs","spoken":"docs","loop":{"on":true,"minutes":5}}
  ]})";

TEST(MenuQtController, PollsAtOnceThenOnTheThreeSecondTimer) {
  Rig rig;
  rig.controller->start();
  ASSERT_EQ(rig.http->gets.size(), 1u);
  EXPECT_EQ(rig.http->gets[0].url, "http://127.0.0.1:1/state");
  EXPECT_EQ(rig.http->gets[0].deadlineMs, 2500);
  ASSERT_EQ(rig.timers->repeating.size(), 1u);
  EXPECT_EQ(rig.timers->repeating[0].ms, 3000);
  rig.timers->tick();
  rig.timers->tick();
  EXPECT_EQ(rig.http->gets.size(), 3u);
}

TEST(MenuQtController, LookFollowsEveryDeliveredStateWithOneIconPerLook) {
  Rig rig;
  rig.controller->start();
  auto* c = rig.controller.get();
  EXPECT_EQ(c->toolTip(), "Ombru Voice");
  const qint64 full = c->shownIcon().cacheKey();

  rig.http->answerLast(std::nullopt);
  EXPECT_EQ(c->toolTip(), QString::fromUtf8("Ombru Voice — not running"));
  const qint64 dim = c->shownIcon().cacheKey();
  EXPECT_NE(dim, full);

  rig.timers->tick();
  rig.http->answerLast(R"({"muted":true,"chat":true})");
  EXPECT_EQ(c->toolTip(), QString::fromUtf8("Ombru Voice — muted"));
  const qint64 muted = c->shownIcon().cacheKey();
  EXPECT_NE(muted, dim);

  rig.timers->tick();
  rig.http->answerLast("[1]");
  EXPECT_EQ(c->shownIcon().cacheKey(), dim) << "the not-running icon is made once and reused";
  rig.timers->tick();
  rig.http->answerLast("{}");
  EXPECT_EQ(c->toolTip(), QString::fromUtf8("Ombru Voice — listening"));
  EXPECT_EQ(c->shownIcon().cacheKey(), full);
}

TEST(MenuQtController, LastDeliveredReplyWins) {
  Rig rig;
  rig.controller->start();
  rig.timers->tick();  // two polls in flight
  rig.http->answer(1, R"({"muted":true})");
  rig.http->answer(0, std::nullopt);  // the older poll ends last
  EXPECT_FALSE(rig.controller->state().running);
}

TEST(MenuQtController, MenuIsBuiltOnlyOnceOpenedAndThenOnEveryPoll) {
  Rig rig;
  rig.controller->start();
  for (int i = 0; i < 3; ++i) {
    rig.http->answerLast(RICH);
    rig.timers->tick();
  }
  EXPECT_TRUE(rig.controller->menu()->actions().isEmpty()) << "polling alone never builds";
  EXPECT_EQ(rig.controller->builds(), 0);

  emit rig.controller->menu()->aboutToShow();
  EXPECT_EQ(rig.controller->builds(), 1);
  EXPECT_NE(findAction(rig.controller->menu(), "Mute"), nullptr);

  // Closed again: each poll still rebuilds, from the newest state.
  rig.http->answerLast(R"({"muted":true})");
  EXPECT_EQ(rig.controller->builds(), 2);
  EXPECT_NE(findAction(rig.controller->menu(), "Unmute"), nullptr);
  rig.timers->tick();
  rig.http->answerLast(std::nullopt);
  EXPECT_EQ(rig.controller->builds(), 3);
  EXPECT_NE(findAction(rig.controller->menu(), "Start Ombru"), nullptr);
  EXPECT_EQ(rig.controller->menu()->actions().size(), 5);
}

TEST(MenuQtController, RenderedMenuMirrorsTheCoreTree) {
  Rig rig;
  rig.controller->start();
  for (const char* body : {RICH, R"({"muted":true,"chat":true})", "{}", ""}) {
    rig.http->answerLast(std::string(body));
    rig.controller->build();
    SCOPED_TRACE(body);
    expectRendered(rig.controller->menu(), buildMenu(rig.controller->state()), "");
    rig.timers->tick();
  }
}

// RICH with the one running countdown (k1's) run on by `seconds`.
std::string richAfter(int seconds) {
  std::string body = RICH;
  const std::string from = "\"next_in\":125";
  return body.replace(body.find(from), from.size(), "\"next_in\":" + std::to_string(125 - seconds));
}

TEST(MenuQtController, AnOpenSubmenuStaysOpenWhileItsTitlesTick) {
  Rig rig;
  rig.controller->start();
  rig.http->answerLast(RICH);
  QMenu* menu = rig.controller->menu();
  menu->popup(QPoint(10, 10));  // emits aboutToShow: the first build
  ASSERT_EQ(rig.controller->builds(), 1);
  QPointer<QMenu> sessions = findAction(menu, "Sessions · 3 active, 2 on smart loop")->menu();
  ASSERT_TRUE(sessions);
  sessions->popup(QPoint(200, 10));
  QPointer<QMenu> session = sessions->actions().at(1)->menu();  // the first session's own
  ASSERT_TRUE(session);
  session->popup(QPoint(400, 10));
  ASSERT_TRUE(waitUntil([&] { return session->isVisible(); }, 2000));
  const std::vector<QAction*> before = allActions(menu);
  for (int poll = 1; poll <= 3; ++poll) {
    rig.timers->tick();
    rig.http->answerLast(richAfter(3 * poll));
    spin(20);
    ASSERT_TRUE(sessions && session) << "poll " << poll;
    EXPECT_TRUE(menu->isVisible() && sessions->isVisible() && session->isVisible())
        << "poll " << poll;
    EXPECT_EQ(allActions(menu), before) << "poll " << poll;
    EXPECT_EQ(rig.controller->renderer().lastChanges().updated, 1) << "the one ticking title";
  }
  EXPECT_EQ(rig.controller->builds(), 4);
  EXPECT_EQ(
      sessions->actions().at(1)->text(),
      QString::fromUtf8("  R&&D notes  —  notes · busy · 3m idle  ·  next smart loop in 1:56"));
  expectRendered(menu, buildMenu(rig.controller->state()));
  menu->hide();
}

// Watches a menu for the moment it holds no action at all.
class EmptyWatch : public QObject {
 public:
  int emptied = 0;
  bool eventFilter(QObject* menu, QEvent* e) override {
    if (e->type() == QEvent::ActionRemoved && static_cast<QMenu*>(menu)->actions().isEmpty())
      ++emptied;
    return false;
  }
};

TEST(MenuQtController, AnOpenMenuIsNeverEmptiedWhileItIsRebuilt) {
  // An X11 popup that shrinks to nothing is never mapped again.
  Rig rig;
  rig.controller->start();
  rig.http->answerLast(RICH);
  rig.controller->build();
  EmptyWatch watch;
  rig.controller->menu()->installEventFilter(&watch);
  for (const char* body : {"", RICH, "{}"}) {
    rig.timers->tick();
    rig.http->answerLast(std::string(body));
  }
  EXPECT_EQ(rig.controller->builds(), 4);
  EXPECT_EQ(watch.emptied, 0);
  EXPECT_EQ(rig.controller->menu()->actions().size(), 10);
}

struct Click {
  QString title;
  std::string path;
};

TEST(MenuQtController, EachItemSendsTheCoreCommandAndRefreshesOnceAfterIt) {
  Rig rig;
  rig.controller->start();
  rig.http->answerLast(RICH);
  QMenu* menu = rig.controller->menu();
  // Every entry that sends a command, with what the core says it sends.
  const std::vector<Click> clicks = {
      {"Mute", "/mute"},
      {"Smart loop on — click to turn off", "/loop"},
      {"Smart loop off — click to turn on", "/loop"},
      {"  30 minutes", "/loop"},
      {"All smart loops on", "/loop"},
      {"All smart loops off", "/loop"},
      {"Talk to this session", "/bind"},
  };
  for (const Click& click : clicks) {
    rig.controller->build();
    QAction* a = findAction(menu, click.title);
    ASSERT_NE(a, nullptr) << click.title.toStdString();
    const size_t posts = rig.http->posts.size(), gets = rig.http->gets.size();
    a->trigger();
    ASSERT_EQ(rig.http->posts.size(), posts + 1) << click.title.toStdString();
    const auto& post = rig.http->posts.back();
    EXPECT_EQ(post.url, "http://127.0.0.1:1" + click.path);
    EXPECT_EQ(post.deadlineMs, 3000);
    EXPECT_EQ(rig.http->gets.size(), gets) << "nothing is polled before the command ends";
    rig.http->finishPost(posts);
    EXPECT_EQ(rig.http->gets.size(), gets + 1) << "exactly one refresh";
  }
  // Bodies, in click order, exactly as the core forms them.
  const State& s = rig.controller->state();
  ASSERT_EQ(rig.http->posts.size(), 7u);
  EXPECT_EQ(rig.http->posts[0].body, commandFor(actions::toggleMute, {}, false, s)->body);
  // The first loop toggle in the menu belongs to k1 (on, shown checked): it
  // asks for off, although Qt has flipped the action's mark by then.
  EXPECT_EQ(rig.http->posts[1].body,
            commandFor(actions::toggleLoop, std::string("k1"), true, s)->body);
  EXPECT_EQ(rig.http->posts[2].body,
            commandFor(actions::toggleLoop, std::string("k2"), false, s)->body);
  EXPECT_EQ(rig.http->posts[3].body,
            commandFor(actions::setMinutes,
                       RepresentedMap{{"key", std::string("k1")}, {"minutes", std::int64_t{30}}},
                       false, s)
                ->body);
  EXPECT_EQ(rig.http->posts[4].body, commandFor(actions::allLoops, true, false, s)->body);
  EXPECT_EQ(rig.http->posts[5].body, commandFor(actions::allLoops, false, false, s)->body);
  EXPECT_EQ(rig.http->posts[6].body,
            commandFor(actions::bind, std::string("notes"), false, s)->body);
}

TEST(MenuQtController, ServiceCommandsRunInTheShellThenPollAfterTheirDelay) {
  Rig rig;
  rig.controller->start();
  rig.http->answerLast(std::nullopt);
  rig.controller->build();
  findAction(rig.controller->menu(), "Start Ombru")->trigger();
  ASSERT_EQ(rig.shell->count(), 1);
  EXPECT_EQ(rig.shell->runs()[0].words, std::vector<std::string>{"start-words"});
  EXPECT_EQ(rig.shell->runs()[0].thread, std::this_thread::get_id());
  ASSERT_EQ(rig.timers->once.size(), 1u);
  EXPECT_EQ(rig.timers->once[0].ms, 2000);
  const size_t gets = rig.http->gets.size();
  rig.timers->fireOnce(0);
  EXPECT_EQ(rig.http->gets.size(), gets + 1);

  rig.http->answerLast("{}");
  findAction(rig.controller->menu(), "Restart Ombru")->trigger();
  ASSERT_EQ(rig.shell->count(), 2);
  EXPECT_EQ(rig.shell->runs()[1].words, std::vector<std::string>{"restart-words"});
  ASSERT_EQ(rig.timers->once.size(), 2u);
  EXPECT_EQ(rig.timers->once[1].ms, 3000);
  EXPECT_TRUE(rig.http->posts.empty());
}

TEST(MenuQtController, FileAndBrainEntriesUseTheOpenerAndABackgroundShell) {
  Rig rig;
  rig.controller->start();
  rig.http->answerLast("{}");
  rig.controller->build();
  QMenu* menu = rig.controller->menu();
  findAction(menu, "Open Log")->trigger();
  findAction(menu, "Open Settings File")->trigger();
  EXPECT_EQ(rig.opener->opened,
            (std::vector<std::string>{"/home/some one/.local/state/ombru/ombru.log",
                                      "/home/some one/.config/ombru/config.toml"}));
  findAction(menu, "Your Brain…")->trigger();
  ASSERT_TRUE(waitUntil([&] { return rig.shell->count() == 1; }, 2000));
  const auto run = rig.shell->runs()[0];
  EXPECT_EQ(run.words, (std::vector<std::string>{"~/.local/bin/ombru", "you", "edit"}));
  EXPECT_NE(run.thread, std::this_thread::get_id());
  EXPECT_TRUE(rig.http->posts.empty());
  EXPECT_TRUE(rig.timers->once.empty()) << "nothing polls after these";

  findAction(menu, "Quit Ombru")->trigger();
  EXPECT_EQ(rig.quits, 1);
  EXPECT_TRUE(rig.http->posts.empty());
}

TEST(MenuQtController, AnAddressThatCannotBeFormedGivesNotRunningAtOnce) {
  app();
  Rig rig;
  Deps d = rig.deps("not an address");
  d.http = Deps::real().http;
  Controller c(std::move(d));
  c.start();
  EXPECT_EQ(c.toolTip(), QString::fromUtf8("Ombru Voice — not running"));
}

}  // namespace
}  // namespace ombru::menu::qt::test

namespace ombru::menu::qt::test {
namespace {

// The shortcuts the menu shows act while it is open, from any of its levels.
TEST(MenuQtController, ShortcutsShownInTheOpenMenuRunTheirEntries) {
  Rig rig;
  rig.controller->start();
  rig.http->answerLast(
      R"({"muted":false,"active":[{"key":"k1","host":"H","title":"T","spoken":"s"}]})");
  QMenu* menu = rig.controller->menu();
  emit menu->aboutToShow();
  QMenu* sessions = nullptr;
  for (QAction* a : menu->actions())
    if (a->menu()) sessions = a->menu();
  ASSERT_NE(sessions, nullptr);

  auto press = [&](QMenu* where, Qt::Key key, Qt::KeyboardModifiers mods) {
    QKeyEvent event(QEvent::KeyPress, key, mods);
    QApplication::sendEvent(where, &event);
    QCoreApplication::processEvents();
  };
  press(menu, Qt::Key_M, Qt::ControlModifier);
  ASSERT_EQ(rig.http->posts.size(), 1u) << "Ctrl+M mutes";
  EXPECT_EQ(rig.http->posts[0].url, "http://127.0.0.1:1/mute");
  press(sessions, Qt::Key_Comma, Qt::ControlModifier);
  EXPECT_EQ(rig.opener->opened.size(), 1u) << "Ctrl+, from the submenu opens the settings";
  press(menu, Qt::Key_M, Qt::NoModifier);
  press(menu, Qt::Key_J, Qt::ControlModifier);
  EXPECT_EQ(rig.http->posts.size(), 1u) << "keys without an entry do nothing";
  EXPECT_EQ(rig.opener->opened.size(), 1u);
  QMenu other;
  other.addAction(QStringLiteral("x"));
  press(&other, Qt::Key_Q, Qt::ControlModifier);
  EXPECT_EQ(rig.quits, 0) << "another menu's keys are not ours";
  press(menu, Qt::Key_Q, Qt::ControlModifier);
  EXPECT_EQ(rig.quits, 1);
}

}  // namespace
}  // namespace ombru::menu::qt::test
