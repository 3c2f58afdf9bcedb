#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "core/commands.hpp"
#include "core/menu_model.hpp"

using namespace ombru::menu;

namespace {

const std::string kKey = "k1";

std::optional<Command> send(std::string_view action, Represented r, bool checked = false,
                            bool muted = false) {
  State s;
  s.running = true;
  s.muted = muted;
  return commandFor(action, r, checked, s);
}

Command cmd(std::string path, std::string body) {
  return {std::move(path), std::move(body)};
}

}  // namespace

TEST(Commands, ToggleMuteSendsTheOpposite) {
  EXPECT_EQ(send(actions::toggleMute, {}, false, false), cmd("/mute", R"({"muted":true})"));
  EXPECT_EQ(send(actions::toggleMute, {}, false, true), cmd("/mute", R"({"muted":false})"));
  // Whatever the item carries, only the state counts.
  EXPECT_EQ(send(actions::toggleMute, true, true, true), cmd("/mute", R"({"muted":false})"));
  // The last polled state is used even when the daemon is not running.
  EXPECT_EQ(commandFor(actions::toggleMute, {}, false, State{}), cmd("/mute", R"({"muted":true})"));
}

TEST(Commands, ToggleLoopAsksForTheOppositeOfItsCheckMark) {
  EXPECT_EQ(send(actions::toggleLoop, kKey, true), cmd("/loop", R"({"key":"k1","on":false})"));
  EXPECT_EQ(send(actions::toggleLoop, kKey, false), cmd("/loop", R"({"key":"k1","on":true})"));
  EXPECT_EQ(send(actions::toggleLoop, std::string(), false),
            cmd("/loop", R"({"key":"","on":true})"));
  EXPECT_EQ(send(actions::toggleLoop, {}), std::nullopt);
  EXPECT_EQ(send(actions::toggleLoop, true), std::nullopt);
  EXPECT_EQ(send(actions::toggleLoop, std::int64_t{1}), std::nullopt);
  EXPECT_EQ(send(actions::toggleLoop, RepresentedMap{{"key", kKey}}), std::nullopt);
}

TEST(Commands, SetMinutesAlwaysTurnsTheLoopOn) {
  auto choice = [](Scalar key, Scalar minutes) {
    return Represented(RepresentedMap{{"key", key}, {"minutes", minutes}});
  };
  EXPECT_EQ(send(actions::setMinutes, choice(kKey, std::int64_t{30}), false),
            cmd("/loop", R"({"key":"k1","minutes":30,"on":true})"));
  EXPECT_EQ(send(actions::setMinutes, choice(kKey, std::int64_t{2}), true),
            cmd("/loop", R"({"key":"k1","minutes":2,"on":true})"));
  // Extra keys are not sent.
  RepresentedMap extra{{"key", kKey}, {"minutes", std::int64_t{5}}, {"all", true}};
  EXPECT_EQ(send(actions::setMinutes, extra),
            cmd("/loop", R"({"key":"k1","minutes":5,"on":true})"));

  EXPECT_EQ(send(actions::setMinutes, {}), std::nullopt);
  EXPECT_EQ(send(actions::setMinutes, kKey), std::nullopt);
  EXPECT_EQ(send(actions::setMinutes, RepresentedMap{}), std::nullopt);
  EXPECT_EQ(send(actions::setMinutes, RepresentedMap{{"key", kKey}}), std::nullopt);
  EXPECT_EQ(send(actions::setMinutes, RepresentedMap{{"minutes", std::int64_t{5}}}), std::nullopt);
  EXPECT_EQ(send(actions::setMinutes, choice(std::int64_t{1}, std::int64_t{5})), std::nullopt);
  EXPECT_EQ(send(actions::setMinutes, choice(kKey, 5.0)), std::nullopt);
  EXPECT_EQ(send(actions::setMinutes, choice(kKey, std::string("5"))), std::nullopt);
  EXPECT_EQ(send(actions::setMinutes, choice(kKey, true)), std::nullopt);
  EXPECT_EQ(send(actions::setMinutes, choice(kKey, std::monostate{})), std::nullopt);
}

TEST(Commands, AllLoopsFallsBackToOn) {
  EXPECT_EQ(send(actions::allLoops, true), cmd("/loop", R"({"all":true,"on":true})"));
  EXPECT_EQ(send(actions::allLoops, false), cmd("/loop", R"({"all":true,"on":false})"));
  EXPECT_EQ(send(actions::allLoops, {}), cmd("/loop", R"({"all":true,"on":true})"));
  EXPECT_EQ(send(actions::allLoops, std::int64_t{0}), cmd("/loop", R"({"all":true,"on":true})"));
  EXPECT_EQ(send(actions::allLoops, std::string("false")),
            cmd("/loop", R"({"all":true,"on":true})"));
}

TEST(Commands, BindSendsTheSpokenName) {
  EXPECT_EQ(send(actions::bind, std::string("my project")),
            cmd("/bind", R"({"project":"my project"})"));
  EXPECT_EQ(send(actions::bind, std::string("q\"\\\n\xc3\xa9")),
            cmd("/bind", "{\"project\":\"q\\\"\\\\\\n\xc3\xa9\"}"));
  // Text that is not UTF-8 is still sent, mended.
  EXPECT_EQ(send(actions::bind, std::string("a\xff")),
            cmd("/bind", "{\"project\":\"a\xef\xbf\xbd\"}"));
  EXPECT_EQ(send(actions::bind, {}), std::nullopt);
  EXPECT_EQ(send(actions::bind, false), std::nullopt);
  EXPECT_EQ(send(actions::bind, 1.0), std::nullopt);
}

TEST(Commands, ActionsThatSendNothing) {
  for (std::string_view a :
       {actions::quit, actions::startDaemon, actions::restart, actions::openBrain, actions::openLog,
        actions::openConfig, std::string_view("toggleLoop"), std::string_view(""),
        std::string_view("nonsense:")})
    EXPECT_EQ(send(a, std::string("k"), true), std::nullopt) << a;
}

TEST(Commands, EveryBuiltItemSendsItsCommand) {
  State s;
  s.running = true;
  s.active = {Active("k", "h", "t", "sp", "", 0, true, 20.0, 0)};
  Menu m = buildMenu(s);
  const Menu& sessions = m.at(3).submenu;
  const Menu& sub = sessions.at(1).submenu;
  EXPECT_EQ(commandFor(sub[0].action, sub[0].represented, sub[0].checked, s),
            cmd("/loop", R"({"key":"k","on":false})"));
  EXPECT_EQ(commandFor(sub[7].action, sub[7].represented, sub[7].checked, s),
            cmd("/loop", R"({"key":"k","minutes":30,"on":true})"));
  EXPECT_EQ(commandFor(sub[10].action, sub[10].represented, sub[10].checked, s),
            cmd("/bind", R"({"project":"sp"})"));
  const Item& off = sessions.back();
  EXPECT_EQ(commandFor(off.action, off.represented, off.checked, s),
            cmd("/loop", R"({"all":true,"on":false})"));
  const Item& mute = m.at(5);
  EXPECT_EQ(commandFor(mute.action, mute.represented, mute.checked, s),
            cmd("/mute", R"({"muted":true})"));
}
