// How the tool meets native toolkits: scroll bars instead of the wheel.
#include <gtest/gtest.h>

#include "sim_support.hpp"

namespace ombru::ax::testing {
namespace {

const std::string kBar = R"("attributes": {"AXVerticalScrollBar": {"element": "bar"}})";
const std::string kBarElement = R"({"id": "bar", "role": "AXScrollBar", "scrolls": "list"})";

TEST(ScrollBar, MovesTheListWithoutTheWheel) {
  const std::string scene = scrolledList(40, kBar, kBarElement);
  Sim found(scene, {"ombru-ax", "click", "Chat", "channel-30"});
  EXPECT_EQ(runTool(*found.platform), 0);
  EXPECT_EQ(found.platform->out(), "yes channel-30\n");
  const auto& trace = found.platform->trace();
  EXPECT_EQ(countPrefix(trace, "post scroll"), 0u);
  EXPECT_GT(countPrefix(trace, "write bar AXValue"), 0u);
  // The toolkit moves its rows with its bar: the click waits for no late
  // report, as it does after the wheel.
  EXPECT_EQ(countPrefix(trace, "pause") - countPrefix(trace, "pause 350000"), 3u);

  // A row that is nowhere: the list goes back to its start, and nothing is
  // clicked or wheeled on the way.
  Sim missing(scene, {"ombru-ax", "click", "Chat", "nowhere"});
  EXPECT_EQ(runTool(*missing.platform), 0);
  EXPECT_EQ(missing.platform->out(), "no\n");
  EXPECT_EQ(countPrefix(missing.platform->trace(), "post scroll"), 0u);
  EXPECT_EQ(countPrefix(missing.platform->trace(), "post down"), 0u);
  std::string last;
  for (const std::string& line : missing.platform->trace()) {
    if (line.rfind("write bar", 0) == 0) last = line;
  }
  EXPECT_EQ(last, "write bar AXValue 0");
}

TEST(ScrollBar, OneThatRefusesTheValueLeavesTheWheel) {
  Sim s(scrolledList(40, kBar, R"({"id": "bar", "role": "AXScrollBar", "scrolls": "list",
                                   "writeFails": true})"),
        {"ombru-ax", "click", "Chat", "channel-30"});
  EXPECT_EQ(runTool(*s.platform), 0);
  EXPECT_EQ(s.platform->out(), "yes channel-30\n");
  EXPECT_GT(countPrefix(s.platform->trace(), "post scroll"), 0u);
}

TEST(ScrollBar, ATreeWithoutOneIsNeverWheeledOutsideAWebPage) {
  std::string tree = scrolledList(40);
  tree.replace(tree.find("AXList"), 6, "AXOutline");
  Sim s(tree, {"ombru-ax", "click", "Chat", "channel-30"});
  EXPECT_EQ(runTool(*s.platform), 0);
  EXPECT_EQ(s.platform->out(), "no\n");
  EXPECT_EQ(countPrefix(s.platform->trace(), "post scroll"), 0u);
  EXPECT_EQ(countPrefix(s.platform->trace(), "post down"), 0u);
  // Inside a web page, the wheel scrolls the page's own tree.
  std::string page = tree;
  page.replace(page.find("AXWindow"), 8, "AXWebArea");
  Sim web(page, {"ombru-ax", "click", "Chat", "channel-30"});
  EXPECT_EQ(runTool(*web.platform), 0);
  EXPECT_EQ(web.platform->out(), "yes channel-30\n");
}

TEST(ScrollBar, ATreeThatOnlyDrawsOneIsPagedByItsTrack) {
  // Qt 5: rows out of view keep their place among the children but have no
  // frame, and the bar is drawn in the strip right of the rows.
  std::string tree = scrolledList(40);
  tree.replace(tree.find("AXList"), 6, "AXOutline");
  tree.replace(tree.find(R"("lineHeight": 10)"), 16, R"("lineHeight": 10, "track": 14)");
  tree.replace(tree.find("[16, 64, 200, 20]"), 17, "[16, 64, 250, 20]");
  auto downs = [](const sim::SimPlatform& p) {
    std::vector<std::string> out;
    for (const std::string& line : p.trace()) {
      if (line.rfind("post down", 0) == 0) out.push_back(line.substr(0, line.find(',')));
    }
    return out;
  };
  Sim found(tree, {"ombru-ax", "click", "Chat", "channel-30"});
  EXPECT_EQ(runTool(*found.platform), 0);
  EXPECT_EQ(found.platform->out(), "yes channel-30\n");
  EXPECT_EQ(countPrefix(found.platform->trace(), "post scroll"), 0u);
  std::vector<std::string> clicks = downs(*found.platform);
  ASSERT_GE(clicks.size(), 2u);
  EXPECT_EQ(clicks.back(), "post down 141");
  clicks.pop_back();
  for (const std::string& c : clicks) EXPECT_EQ(c, "post down 274");

  // A row that is nowhere: only the track is clicked, and the tree is back
  // at its start.
  Sim missing(tree, {"ombru-ax", "click", "Chat", "nowhere"});
  EXPECT_EQ(runTool(*missing.platform), 0);
  EXPECT_EQ(missing.platform->out(), "no\n");
  for (const std::string& c : downs(*missing.platform)) EXPECT_EQ(c, "post down 274");
  EXPECT_EQ(rows(*missing.tool, missing.window()).front().text, "channel-0");
}

TEST(ScrollBar, OneMoveIsThreeLinesANotchButNeverMostOfItsArea) {
  Sim s(scrolledList(40, kBar, R"({"id": "bar", "role": "AXScrollBar", "scrolls": "list",
                                   "attributes": {"AXLineStep": 0}})"));
  scrollSidebar(*s.tool, s.window(), 6);
  EXPECT_EQ(countPrefix(s.platform->trace(), "write bar AXValue 450"), 1u);
}

TEST(VisiblePart, ARowWiderThanItsListIsClickedInsideTheList) {
  Sim s(windowScene(R"({"role": "AXList", "frame": [0, 60, 140, 500], "children": [
      {"role": "AXStaticText", "value": "a-long-channel-name", "frame": [60, 100, 200, 20]}]})"),
        {"ombru-ax", "click", "Chat", "a-long-channel-name"});
  EXPECT_EQ(runTool(*s.platform), 0);
  EXPECT_EQ(s.platform->out(), "yes a-long-channel-name\n");
  EXPECT_EQ(countPrefix(s.platform->trace(), "post down 100,110"), 1u);
  // Nothing of it is visible: not found, and nothing is clicked.
  Sim hidden(windowScene(R"({"role": "AXList", "frame": [0, 60, 140, 500], "children": [
      {"role": "AXStaticText", "value": "hidden", "frame": [150, 100, 100, 20]}]})"),
             {"ombru-ax", "click", "Chat", "hidden"});
  EXPECT_EQ(runTool(*hidden.platform), 0);
  EXPECT_EQ(hidden.platform->out(), "no\n");
  EXPECT_EQ(countPrefix(hidden.platform->trace(), "post down"), 0u);
}

TEST(Text, RowsBeyondTheirScrollAreaAreNotListed) {
  // GTK 3 keeps rows scrolled out of view visible, at their true place
  // below the list; one cut by the list's edge is still partly in view.
  std::string rows;
  for (int i = 0; i < 6; ++i) rows += staticText("row-" + std::to_string(i), 16, 64 + 28 * i) + ",";
  rows.pop_back();
  Sim s(windowScene(staticText("Rooms", 16, 30) +
                    R"(, {"role": "AXScrollArea", "frame": [0, 60, 280, 100], "children": [)" +
                    rows + "]}"),
        {"ombru-ax", "text", "Chat"});
  EXPECT_EQ(runTool(*s.platform), 0);
  EXPECT_EQ(s.platform->out(), "16\tRooms\n16\trow-0\n16\trow-1\n16\trow-2\n16\trow-3\n");
}

// A native client: sidebar rows in a scroll area, the conversation in a
// read-only text view, the message box below it.
std::string nativeClient(const std::string& conversation) {
  return windowScene(R"({"role": "AXScrollArea", "frame": [0, 60, 250, 700], "children": [)" +
                     staticText("general", 16, 100) + "," + staticText("random", 16, 130) + R"(]},
      {"role": "AXTextArea", "frame": [300, 700, 600, 40], "value": "typed",
       "attributes": {"AXEditable": true}}, )" +
                     conversation);
}

TEST(NativeConversation, ReadAndProbeTakeTheReadOnlyViewBesideTheSidebar) {
  const std::string view = R"({"role": "AXScrollArea", "frame": [300, 60, 600, 600], "children": [
      {"role": "AXTextArea", "frame": [300, 60, 600, 600], "value": "alice: hi\nbob: hello",
       "attributes": {"AXEditable": false}}]})";
  Sim read(nativeClient(view), {"ombru-ax", "read", "Chat"});
  EXPECT_EQ(runTool(*read.platform), 0);
  EXPECT_EQ(read.platform->out(), "alice: hi\nbob: hello\n");
  Sim probe(nativeClient(view), {"ombru-ax", "probe", "Chat"});
  EXPECT_EQ(runTool(*probe.platform), 0);
  EXPECT_EQ(probe.platform->out(), "web-area-reachable lines=1\n");
  // A conversation area that exposes no text (HexChat's) is no conversation.
  Sim empty(nativeClient(R"({"role": "AXScrollArea", "frame": [300, 60, 600, 600]})"),
            {"ombru-ax", "read", "Chat"});
  EXPECT_EQ(runTool(*empty.platform), 5);
  EXPECT_EQ(empty.platform->err(), "no-web-area\n");
  // Nor is a list of names beside it (HexChat's nick list, a table of cells).
  Sim names(nativeClient(R"({"role": "AXScrollArea", "frame": [300, 60, 600, 600]},
      {"role": "AXScrollArea", "frame": [900, 60, 100, 600], "children": [
        {"role": "AXTable", "frame": [900, 60, 100, 600], "children": [
          {"role": "AXCell", "frame": [900, 60, 100, 20], "children": [)" +
                         staticText("alice", 900, 60) + "]}]}]}"),
            {"ombru-ax", "read", "Chat"});
  EXPECT_EQ(runTool(*names.platform), 5);
  EXPECT_EQ(names.platform->err(), "no-web-area\n");
}

TEST(NativeConversation, PagesKeptBehindTheShownOneAreNotRead) {
  // GTK 4 keeps a stack's hidden pages at their last place: a placeholder
  // whose label starts in the sidebar strip, and the room shown before.
  auto page = [](const std::string& text) {
    return R"({"role": "AXScrollArea", "frame": [300, 60, 600, 600], "children": [
        {"role": "AXTextArea", "frame": [300, 60, 600, 600], "value": ")" +
           text + R"(", "attributes": {"AXEditable": false}}]})";
  };
  const std::string stack = R"({"role": "AXGroup", "frame": [260, 60, 640, 600], "children": [
      {"role": "AXScrollArea", "frame": [260, 60, 640, 600], "children": [)" +
                            staticText("Join a room", 270, 300, 600) + "]}, " +
                            page("before: old room") + ", " + page("alice: hi\\nbob: hello") + "]}";
  Sim read(nativeClient(stack), {"ombru-ax", "read", "Chat"});
  EXPECT_EQ(runTool(*read.platform), 0);
  EXPECT_EQ(read.platform->out(), "alice: hi\nbob: hello\n");
}

}  // namespace
}  // namespace ombru::ax::testing
