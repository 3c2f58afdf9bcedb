#pragma once
// Fixed configuration of ombru-ax: limits, geometry, counts and pauses. The
// tool never tunes these at run time; the tests read the same values.

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace ombru::ax {

using namespace std::chrono_literals;

// Tree walks.
inline constexpr std::int64_t kMaxDepth = 60;
inline constexpr std::int64_t kWebAreaMaxDepth = 40;
inline constexpr std::size_t kMaxHits = 3000;
inline constexpr std::size_t kMaxLines = 4000;
inline constexpr std::size_t kMaxCandidates = 200;
inline constexpr std::size_t kLongestLabel = 119;  // user-perceived characters

// Rows: the sidebar strip from the window's left edge, the smallest row that
// matches, and how many rows mean the tree is populated.
inline constexpr double kSidebarWidth = 280;
inline constexpr double kLowestRow = 10;
inline constexpr std::size_t kPopulated = 4;

// Fields: a candidate is wider and taller than this.
inline constexpr double kFieldMinWidth = 120;
inline constexpr double kFieldMinHeight = 14;

// Pressing and scrolling.
inline constexpr auto kPressMovePause = 40000us;
inline constexpr auto kPressHoldPause = 60000us;
inline constexpr int kPressElementsTried = 6;
inline constexpr double kScrollPointX = 120;   // from the window's left edge
inline constexpr double kScrollPointY = 0.55;  // of the window's height, from its top
inline constexpr auto kScrollPause = 350000us;
inline constexpr std::int32_t kScrollNotches = 6;  // one step of a search
// A notch moves a scroll bar by this many of its own line steps, as a
// desktop's wheel does; a bar that gives none has lines of this share of
// its scroll area's height (GTK's own line step). One move never goes
// further than this share of the area's height, so no row is skipped.
inline constexpr double kLinesPerNotch = 3;
inline constexpr double kScrollBarLineShare = 0.1;
inline constexpr double kScrollBarMostShare = 0.9;
// A native item view that offers no bar (Qt 5's) still draws one in a strip
// between its rows and its right edge, this wide: wider, the strip is taken
// for empty list space, whose click would change the selection.
inline constexpr double kTrackLeast = 6;
inline constexpr double kTrackMost = 40;
// A click on the drawn bar stays this far inside the view's edges: past its
// border, on the bar.
inline constexpr double kTrackInset = 6;
// A click on that track goes this share of the thumb's length beyond its
// centre: past the thumb, so a style that pages moves one page, and a style
// that jumps the thumb to the click moves three quarters of a page, skipping
// no row.
inline constexpr double kTrackReachShare = 0.75;

// Chromium reports the new places of a scrolled list's rows about half a
// second after the wheel (0.5 to 0.65 s measured, idle and loaded), well
// after the fixed pause that follows a scroll; until then it keeps answering
// the old places, the same on every read. So a frame counts only when read
// this long after the last scroll.
inline constexpr auto kReportedAfterScroll = 1000ms;
// Between reads of a frame that is still moving: a few frames of a display.
inline constexpr auto kRecheck = 50000us;
// The most the frame guard waits in all, past the time above.
inline constexpr auto kSettleLimit = 1000ms;

// Start-up and retries. A process of the application's name that is not
// listed yet is waited for this long, looking again at this interval.
inline constexpr auto kJoinWait = 3s;
inline constexpr auto kJoinPoll = 250000us;
inline constexpr auto kStartupPause = 400000us;
inline constexpr int kFrontWindowAttempts = 8;
inline constexpr auto kFrontWindowPause = 500000us;
inline constexpr int kTextAttempts = 16;
inline constexpr int kRowAttempts = 16;
inline constexpr auto kAttemptPause = 600000us;
inline constexpr int kSearchSteps = 10;
inline constexpr int kGroupSearchSteps = 6;
inline constexpr int kReturnSteps = 16;  // back to the top after a group search
inline constexpr int kReturnExtra = 6;   // beyond the steps a search made
inline constexpr auto kGroupOpenPause = 500000us;
inline constexpr int kFieldAttempts = 12;
inline constexpr auto kFieldAttemptPause = 500000us;
inline constexpr auto kFocusPause = 150000us;
inline constexpr auto kFieldClickPause = 50000us;
inline constexpr std::size_t kFieldDescriptionLength = 40;
inline constexpr auto kHoldStartPause = 500000us;
inline constexpr auto kHoldInterval = 3s;

// The attribute names the core reads and writes, and every backend answers.
namespace attr {
inline constexpr const char* kChildren = "AXChildren";
inline constexpr const char* kRole = "AXRole";
inline constexpr const char* kValue = "AXValue";
inline constexpr const char* kTitle = "AXTitle";
inline constexpr const char* kDescription = "AXDescription";
inline constexpr const char* kPlaceholderValue = "AXPlaceholderValue";
inline constexpr const char* kPosition = "AXPosition";
inline constexpr const char* kSize = "AXSize";
inline constexpr const char* kParent = "AXParent";
inline constexpr const char* kVerticalScrollBar = "AXVerticalScrollBar";
inline constexpr const char* kEditable = "AXEditable";
inline constexpr const char* kMinValue = "AXMinValue";
inline constexpr const char* kMaxValue = "AXMaxValue";
inline constexpr const char* kLineStep = "AXLineStep";
inline constexpr const char* kFocused = "AXFocused";
inline constexpr const char* kWindows = "AXWindows";
inline constexpr const char* kManualAccessibility = "AXManualAccessibility";
inline constexpr const char* kEnhancedUserInterface = "AXEnhancedUserInterface";
}  // namespace attr

}  // namespace ombru::ax
