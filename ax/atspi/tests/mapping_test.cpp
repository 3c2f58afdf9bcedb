// The backend's pure translations: text contents, action names, layers.
#include <gtest/gtest.h>

#include "tree_atspi.hpp"
#include "windows_x11.hpp"

namespace {

using namespace ombru::ax::desktop;

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

}  // namespace
