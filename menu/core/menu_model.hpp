#pragma once
// The menu as plain data: buildMenu() decides every title, order, condition,
// key equivalent, check mark and represented object from one State; the
// toolkit layer only turns the tree into real menu items.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "state.hpp"

namespace ombru::menu {

// A value inside a represented map. std::monostate stands for null/absent.
using Scalar = std::variant<std::monostate, bool, std::int64_t, double, std::string>;
using RepresentedMap = std::map<std::string, Scalar>;

// The value an item hands to its action: nothing, a text, a boolean, a map
// ({"key": text, "minutes": integer} for the minute choices), or, when it comes
// back from a toolkit that lost track of it, any other scalar.
using Represented =
    std::variant<std::monostate, bool, std::int64_t, double, std::string, RepresentedMap>;

// Action names are the controller's selectors, exactly as the items carry them.
namespace actions {
inline constexpr std::string_view toggleMute = "toggleMute";
inline constexpr std::string_view toggleLoop = "toggleLoop:";
inline constexpr std::string_view setMinutes = "setMinutes:";
inline constexpr std::string_view allLoops = "allLoops:";
inline constexpr std::string_view bind = "bind:";
inline constexpr std::string_view quit = "quit";
inline constexpr std::string_view startDaemon = "startDaemon";
inline constexpr std::string_view restart = "restart";
inline constexpr std::string_view openBrain = "openBrain";
inline constexpr std::string_view openLog = "openLog";
inline constexpr std::string_view openConfig = "openConfig";
}  // namespace actions

struct Item {
  bool separator = false;  // a separator uses no other field
  std::string title;
  // Shown with the header style: system font at HEADER_FONT_SIZE, semibold,
  // no other attribute. Only the first item has it.
  bool header = false;
  std::string action;         // selector name from `actions`, or empty for none;
                              // an item with an action targets the controller
  std::string keyEquivalent;  // one character or empty; default modifier (Command)
  bool enabled = true;        // informational lines are false
  bool checked = false;       // check mark (state on/off)
  Represented represented;
  std::vector<Item> submenu;  // empty: no submenu

  bool hasAction() const { return !action.empty(); }
  bool hasSubmenu() const { return !submenu.empty(); }
  bool operator==(const Item&) const = default;
};

using Menu = std::vector<Item>;

// The whole menu for one State, top to bottom.
Menu buildMenu(const State& state);

// Minutes as the integer the minute choices compare with: truncated toward
// zero, or none when the value is NaN, infinite or outside the signed 64-bit
// range (then no choice is marked).
std::optional<std::int64_t> wholeMinutes(double minutes) noexcept;

// Text form of a menu for golden files and debugging: one item a line, each
// submenu level indented by two more spaces under its parent, every attribute
// shown. A separator is "---"; an entry is
//   "title" header=no action=bind: key="" enabled=yes state=off object=text:"x" submenu=no
// Texts are quoted with JSON escapes; object is none, bool:true, int:5,
// double:2.5, text:"..." or map{"key":text:"k","minutes":int:5}.
std::string dumpMenu(const Menu& menu);
std::string dumpRepresented(const Represented& value);

}  // namespace ombru::menu
