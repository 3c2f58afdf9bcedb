// The backend's pure translations: text contents, action names, layers,
// window ranking, coordinates.
#include <gtest/gtest.h>

#include <atspi/atspi-constants.h>

#include <cmath>
#include <memory>

#include "desktop_entries.hpp"
#include "tree_atspi.hpp"
#include "windows_x11.hpp"

namespace {

using namespace ombru::ax::desktop;
using ombru::ax::Element;
using ombru::ax::Point;
using ombru::ax::Value;

TEST(ObjectReplacement, RemovesEveryPlaceholderAndKeepsOtherCharacters) {
  EXPECT_EQ(withoutObjectReplacement("\xEF\xBF\xBC\xEF\xBF\xBC"), "");
  EXPECT_EQ(withoutObjectReplacement("a\xEF\xBF\xBC"
                                     "b\xEF\xBF\xBC"),
            "ab");
  // Neighbours that share leading bytes with U+FFFC stay whole: U+FFFD, U+FFFB, é.
  EXPECT_EQ(withoutObjectReplacement("\xEF\xBF\xBD\xEF\xBF\xBB\xC3\xA9"),
            "\xEF\xBF\xBD\xEF\xBF\xBB\xC3\xA9");
  // A cut-off placeholder is not one.
  EXPECT_EQ(withoutObjectReplacement("x\xEF\xBF"), "x\xEF\xBF");
  EXPECT_EQ(withoutObjectReplacement(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(ActionNames, PressAliasesBecomeOnePressAction) {
  for (const char* name : {"click", "press", "activate", "clickAncestor"})
    EXPECT_EQ(actionName(name), "AXPress") << name;
  EXPECT_EQ(actionName("showContextMenu"), "AXShowMenu");
  EXPECT_EQ(actionName("doDefault"), "doDefault");
  EXPECT_EQ(actionName("Click"), "Click");
}

TEST(Layers, OnlyOrdinaryAndDialogWindowsShareLayerZero) {
  EXPECT_EQ(layerOfType("NORMAL"), 0);
  EXPECT_EQ(layerOfType("DIALOG"), 0);
  for (const char* other : {"UTILITY", "TOOLBAR", "SPLASH", "DOCK", "MENU", "POPUP_MENU", "TOOLTIP",
                            "NOTIFICATION", "DND", ""})
    EXPECT_NE(layerOfType(other), 0) << other;
}

TEST(Windows, ActiveFirstThenShownThenHiddenAndQtBareWidgetsCount) {
  auto e = [](int) { return Element(std::make_shared<int>(0)); };
  const Element hidden = e(0), shown = e(0), active = e(0), filler = e(0), panel = e(0);
  const Value v = rankWindows({{hidden, ATSPI_ROLE_FRAME, false, false},
                               {panel, ATSPI_ROLE_PANEL, true, true},
                               {shown, ATSPI_ROLE_DIALOG, false, true},
                               {filler, ATSPI_ROLE_FILLER, false, true},
                               {active, ATSPI_ROLE_WINDOW, true, true}});
  ASSERT_EQ(v.shape, Value::Shape::Elements);
  EXPECT_EQ(v.elements, (std::vector<Element>{active, shown, filler, hidden}));
}

TEST(Coordinates, APointFallsOnTheNearestPixelAndOnlyFiniteNearOnesOnAny) {
  const auto p = pixelOf(Point{44.5, -3.5});
  ASSERT_TRUE(p);
  EXPECT_EQ(p->x, 45);
  EXPECT_EQ(p->y, -4);
  EXPECT_EQ(pixelOf(Point{44.49, 0})->x, 44);
  for (double bad : {std::nan(""), 1e300, -1e300, 3e9}) {
    EXPECT_FALSE(pixelOf(Point{bad, 0})) << bad;
    EXPECT_FALSE(pixelOf(Point{0, bad})) << bad;
  }
}

TEST(DesktopEntries, LocalizedNameProgramAndTheProcessTheyBelongTo) {
  const std::string_view text =
      "[Desktop Action new]\nName=New Window\n"
      "[Desktop Entry]\nType=Application\nName=Files\nName[de]=Dateien\n"
      "Name[de_AT]=Dateien AT\nExec=\"/usr/bin/my files\" --new %U\n";
  EXPECT_EQ(parseDesktopEntry(text, "org.example.Files", "de_AT.UTF-8")->name, "Dateien AT");
  EXPECT_EQ(parseDesktopEntry(text, "org.example.Files", "de_CH.UTF-8")->name, "Dateien");
  const auto plain = parseDesktopEntry(text, "org.example.Files", "C.UTF-8");
  EXPECT_EQ(plain->name, "Files");
  EXPECT_EQ(plain->program, "my files");
  EXPECT_FALSE(parseDesktopEntry("[Desktop Entry]\nType=Link\nName=x\n", "l", ""));
  EXPECT_FALSE(parseDesktopEntry("[Other]\nName=x\n", "o", ""));

  const std::vector<DesktopEntry> entries = {{"org.gajim.Gajim", "Gajim", "gajim"},
                                             {"io.github.Hexchat", "HexChat", "hexchat"}};
  // By the name on the bus first, then by program, an interpreter's script too.
  EXPECT_EQ(entryOf(entries, "org.gajim.Gajim", {})->name, "Gajim");
  EXPECT_EQ(entryOf(entries, "hexchat", {"hexchat"})->name, "HexChat");
  EXPECT_EQ(entryOf(entries, "x", {"python3.11", "python3", "gajim"})->name, "Gajim");
  EXPECT_EQ(entryOf(entries, "x", {"gajim-extra"}), nullptr);
  const std::vector<DesktopEntry> activated = {{"org.gnome.Polari", "Polari", "gapplication"}};
  EXPECT_EQ(entryOf(activated, "polari", {"polari"})->name, "Polari");
}

}  // namespace
