// The daemon's state rules, driven by a hand-made clock.
#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "state.hpp"

namespace devd {
namespace {

using json = nlohmann::ordered_json;
using std::chrono::seconds;

const Clock::time_point t0{};

json twoSessions() {
  return json::parse(R"({
    "muted": false, "bound": "",
    "active": [
      {"key": "a", "spoken": "alpha", "loop": {"on": true, "minutes": 10}, "next_in": 100},
      {"key": "b", "spoken": "beta", "loop": {"on": false, "minutes": 5}, "next_in": 30}
    ]})");
}

const json& entry(const json& doc, std::size_t i) {
  return doc.at("active").at(i);
}

TEST(DemoDocument, FillsEveryFieldTheMenuShows) {
  json d = demoDocument();
  ASSERT_TRUE(d.is_object());
  EXPECT_TRUE(d.at("muted").is_boolean());
  EXPECT_TRUE(d.at("chat").is_boolean());
  EXPECT_FALSE(d.at("bound").get<std::string>().empty());
  EXPECT_FALSE(d.at("sessions").empty());
  EXPECT_FALSE(d.at("waiting").at(0).at("project").get<std::string>().empty());
  EXPECT_FALSE(d.at("last").at("takeaway").get<std::string>().empty());
  EXPECT_FALSE(d.at("last").at("project").get<std::string>().empty());
  EXPECT_FALSE(d.at("engines").at("voice").get<std::string>().empty());
  EXPECT_FALSE(d.at("engines").at("hearing").get<std::string>().empty());

  std::set<std::string> hosts, spoken;
  int running = 0;
  for (const json& a : d.at("active")) {
    for (const char* k : {"key", "host", "title", "spoken", "state"})
      EXPECT_TRUE(a.at(k).is_string()) << k;
    EXPECT_TRUE(a.at("idle_minutes").is_number_integer());
    hosts.insert(a.at("host").get<std::string>());
    spoken.insert(a.at("spoken").get<std::string>());
    if (loopOn(a) && a.at("next_in").get<int>() > 0) ++running;
  }
  EXPECT_EQ(hosts.size(), 2u);
  EXPECT_EQ(running, 3);
  EXPECT_TRUE(spoken.count(d.at("bound").get<std::string>())) << "bound names no session";
}

TEST(Countdown, RunsDownAndRestartsAtTheInterval) {
  DaemonState s(twoSessions(), t0);
  EXPECT_EQ(entry(s.document(t0), 0)["next_in"], 100);
  EXPECT_EQ(entry(s.document(t0 + std::chrono::milliseconds(999)), 0)["next_in"], 100);
  EXPECT_EQ(entry(s.document(t0 + seconds(40)), 0)["next_in"], 60);
  EXPECT_EQ(entry(s.document(t0 + seconds(100)), 0)["next_in"], 0);
  // Past zero the check has run and the next 10-minute interval counts down.
  EXPECT_EQ(entry(s.document(t0 + seconds(101)), 0)["next_in"], 599);
  EXPECT_EQ(entry(s.document(t0 + seconds(700)), 0)["next_in"], 0);
  EXPECT_EQ(entry(s.document(t0 + seconds(701)), 0)["next_in"], 599);
  // A loop that is off does not count.
  EXPECT_EQ(entry(s.document(t0 + seconds(50)), 1)["next_in"], 30);
}

TEST(Countdown, LeavesUntrackedValuesAsGiven) {
  json doc = json::parse(R"({"active": [
    {"next_in": 2.5}, {"next_in": "9"}, {"key": "n"}, {"next_in": -5}, "not an object",
    {"next_in": 10, "loop": {"minutes": 0}}]})");
  DaemonState s(doc, t0);
  json later = s.document(t0 + seconds(30));
  EXPECT_EQ(entry(later, 0)["next_in"], 2.5);
  EXPECT_EQ(entry(later, 1)["next_in"], "9");
  EXPECT_FALSE(entry(later, 2).contains("next_in"));
  EXPECT_EQ(entry(later, 3)["next_in"], -5);
  EXPECT_EQ(entry(later, 4), "not an object");
  EXPECT_EQ(entry(later, 5)["next_in"], 0) << "an interval of 0 minutes stays at 0";
}

TEST(Countdown, FollowsLoopCommands) {
  DaemonState s(twoSessions(), t0);
  // Off freezes where it stood.
  ASSERT_EQ(s.loop({{"key", "a"}, {"on", false}}, t0 + seconds(10)).status, 200);
  EXPECT_EQ(entry(s.document(t0 + seconds(500)), 0)["next_in"], 90);
  // On again starts a fresh interval.
  ASSERT_EQ(s.loop({{"key", "a"}, {"on", true}}, t0 + seconds(500)).status, 200);
  EXPECT_EQ(entry(s.document(t0 + seconds(500)), 0)["next_in"], 600);
  // Asking for "on" while on changes nothing.
  ASSERT_EQ(s.loop({{"key", "a"}, {"on", true}}, t0 + seconds(510)).status, 200);
  EXPECT_EQ(entry(s.document(t0 + seconds(510)), 0)["next_in"], 590);
  // A new interval restarts the countdown at it.
  ASSERT_EQ(s.loop({{"key", "a"}, {"minutes", 2}, {"on", true}}, t0 + seconds(520)).status, 200);
  EXPECT_EQ(entry(s.document(t0 + seconds(530)), 0)["next_in"], 110);
}

TEST(Commands, MuteSetsTheFlag) {
  DaemonState s(twoSessions(), t0);
  EXPECT_EQ(s.command("/mute", R"({"muted": true})", t0).status, 200);
  EXPECT_EQ(s.document(t0)["muted"], true);
  EXPECT_EQ(s.command("/mute", R"({"muted": false})", t0).status, 200);
  EXPECT_EQ(s.document(t0)["muted"], false);
}

TEST(Commands, LoopByKeyTouchesOnlyThatSession) {
  DaemonState s(twoSessions(), t0);
  Reply r = s.command("/loop", R"({"key": "b", "minutes": 30, "on": true})", t0);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body["changed"], 1);
  json d = s.document(t0);
  EXPECT_EQ(entry(d, 1)["loop"], json({{"on", true}, {"minutes", 30}}));
  EXPECT_EQ(entry(d, 1)["next_in"], 1800);
  EXPECT_EQ(entry(d, 0), entry(twoSessions(), 0));
}

TEST(Commands, LoopAllReachesEverySessionAndMakesMissingLoops) {
  json doc = twoSessions();
  doc["active"].push_back({{"key", "c"}});
  doc["active"].push_back({{"key", "d"}, {"loop", "odd"}});
  DaemonState s(doc, t0);
  Reply r = s.command("/loop", R"({"all": true, "on": false})", t0);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body["changed"], 4);
  json d = s.document(t0);
  for (const json& e : d["active"]) EXPECT_FALSE(loopOn(e)) << e.dump();
  EXPECT_EQ(entry(d, 0)["loop"]["minutes"], 10) << "the interval is kept";
  EXPECT_EQ(entry(d, 2)["loop"], json({{"on", false}}));
}

TEST(Commands, BindTakesTheSpokenName) {
  DaemonState s(twoSessions(), t0);
  EXPECT_EQ(s.command("/bind", R"({"project": "beta"})", t0).status, 200);
  EXPECT_EQ(s.document(t0)["bound"], "beta");
  // The key is not the spoken name: a client sending it is wrong.
  EXPECT_EQ(s.command("/bind", R"({"project": "a"})", t0).status, 404);
  EXPECT_EQ(s.document(t0)["bound"], "beta");
}

TEST(Commands, UnknownSessionIsNotFound) {
  DaemonState s(twoSessions(), t0);
  EXPECT_EQ(s.command("/loop", R"({"key": "zz", "on": false})", t0).status, 404);
  EXPECT_EQ(s.document(t0), DaemonState(twoSessions(), t0).document(t0));
}

TEST(Commands, BadBodiesAreRefusedAndChangeNothing) {
  struct Case {
    const char* path;
    const char* body;
  };
  const Case cases[] = {
      {"/mute", ""},
      {"/mute", "{"},
      {"/mute", "[true]"},
      {"/mute", R"({"muted": 1})"},
      {"/mute", R"({"muted": "true"})"},
      {"/mute", R"({})"},
      {"/mute", R"({"muted": true, "extra": 1})"},
      {"/loop", R"({"key": "a"})"},
      {"/loop", R"({"key": "a", "on": 0})"},
      {"/loop", R"({"on": true})"},
      {"/loop", R"({"key": "a", "all": true, "on": true})"},
      {"/loop", R"({"all": false, "on": true})"},
      {"/loop", R"({"all": true, "minutes": 5, "on": true})"},
      {"/loop", R"({"key": "a", "minutes": 5.0, "on": true})"},
      {"/loop", R"({"key": "a", "minutes": 0, "on": true})"},
      {"/loop", R"({"key": "a", "minutes": "5", "on": true})"},
      {"/loop", R"({"key": 1, "on": true})"},
      {"/loop", R"({"key": "a", "on": true, "loop": true})"},
      {"/bind", R"({"project": 3})"},
      {"/bind", R"({"key": "a"})"},
      {"/bind", R"("alpha")"},
  };
  const json before = DaemonState(twoSessions(), t0).document(t0);
  for (const Case& c : cases) {
    DaemonState s(twoSessions(), t0);
    Reply r = s.command(c.path, c.body, t0);
    EXPECT_EQ(r.status, 400) << c.path << " " << c.body;
    EXPECT_EQ(r.body["ok"], false);
    EXPECT_TRUE(r.body["error"].is_string());
    EXPECT_EQ(s.document(t0), before) << c.path << " " << c.body;
  }
}

TEST(Commands, ADocumentThatIsNotAnObjectIsServedAndLeftAlone) {
  DaemonState s(json::array(), t0);
  EXPECT_EQ(s.document(t0), json::array());
  EXPECT_EQ(s.command("/mute", R"({"muted": true})", t0).status, 409);
  EXPECT_EQ(s.command("/loop", R"({"all": true, "on": true})", t0).status, 409);
  EXPECT_EQ(s.document(t0), json::array());
}

TEST(Commands, EmptyDocumentTakesMuteAndBulkLoops) {
  DaemonState s(json::object(), t0);
  EXPECT_EQ(s.command("/mute", R"({"muted": true})", t0).status, 200);
  EXPECT_EQ(s.command("/loop", R"({"all": true, "on": true})", t0).body["changed"], 0);
  EXPECT_EQ(s.command("/bind", R"({"project": "x"})", t0).status, 404);
  EXPECT_EQ(s.document(t0), json({{"muted", true}}));
}

}  // namespace
}  // namespace devd
