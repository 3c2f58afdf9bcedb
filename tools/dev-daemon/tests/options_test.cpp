#include <gtest/gtest.h>

#include "options.hpp"

namespace devd {
namespace {

ParsedOptions parse(std::vector<std::string_view> args) {
  return parseOptions(args);
}

TEST(Options, DefaultsServeTheDemoOnTheDaemonPort) {
  ParsedOptions p = parse({});
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.options.port, 8765);
  EXPECT_EQ(p.options.scenario, "");
  EXPECT_EQ(p.options.log, "");
  EXPECT_EQ(p.options.slowMs, 0);
  EXPECT_FALSE(p.options.silent || p.options.garbage || p.options.help);
  EXPECT_FALSE(p.options.dripMs.has_value());
  EXPECT_FALSE(p.options.status.has_value());
}

TEST(Options, TakesEveryFlagInBothForms) {
  ParsedOptions p = parse({"--port", "0", "--scenario=s.json", "--log", "l.jsonl", "--slow=250",
                           "--garbage", "--drip", "0", "--status=503"});
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.options.port, 0);
  EXPECT_EQ(p.options.scenario, "s.json");
  EXPECT_EQ(p.options.log, "l.jsonl");
  EXPECT_EQ(p.options.slowMs, 250);
  EXPECT_TRUE(p.options.garbage);
  EXPECT_EQ(p.options.dripMs, 0);
  EXPECT_EQ(p.options.status, 503);
  EXPECT_TRUE(parse({"--silent"}).options.silent);
  EXPECT_TRUE(parse({"--help"}).options.help);
}

TEST(Options, RefusesWhatItCannotHonour) {
  const std::vector<std::vector<std::string_view>> bad = {
      {"--port"},
      {"--port", "x"},
      {"--port", "65536"},
      {"--port", "-1"},
      {"--port", "80 "},
      {"--slow", "-5"},
      {"--drip"},
      {"--status", "99"},
      {"--status", "600"},
      {"--scenario", ""},
      {"--log="},
      {"--silent=yes"},
      {"--bogus"},
      {"8765"},
      {"--silent", "--drip", "5"},
      {"--silent", "--garbage"},
      {"--status", "500", "--silent"},
  };
  for (const auto& args : bad) {
    std::string joined;
    for (auto a : args) joined += std::string(a) + " ";
    EXPECT_NE(parse(args).error, "") << joined;
  }
}

}  // namespace
}  // namespace devd
