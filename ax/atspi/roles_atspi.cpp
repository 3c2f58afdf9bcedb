// The role table: AT-SPI's roles and action names in the names the core
// knows them by.
#include "roles_atspi.hpp"

#include <atspi/atspi-constants.h>

namespace ombru::ax::desktop {

std::string roleName(int atspiRole, bool multiLine) {
  switch (static_cast<AtspiRole>(atspiRole)) {
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_CAPTION:
    case ATSPI_ROLE_ACCELERATOR_LABEL:
      return "AXStaticText";
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_ENTRY:
      return multiLine ? "AXTextArea" : "AXTextField";
    case ATSPI_ROLE_PASSWORD_TEXT:
      return "AXTextField";
    case ATSPI_ROLE_TERMINAL:
    case ATSPI_ROLE_DOCUMENT_TEXT:
      return "AXTextArea";
    case ATSPI_ROLE_COMBO_BOX:
    case ATSPI_ROLE_AUTOCOMPLETE:
      return "AXComboBox";
    case ATSPI_ROLE_HEADING:
      return "AXHeading";
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_TOGGLE_BUTTON:
      return "AXButton";
    case ATSPI_ROLE_PUSH_BUTTON_MENU:
      return "AXMenuButton";
    case ATSPI_ROLE_DOCUMENT_WEB:
      return "AXWebArea";
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_WINDOW:
    case ATSPI_ROLE_DIALOG:
    case ATSPI_ROLE_FILE_CHOOSER:
    case ATSPI_ROLE_ALERT:
      return "AXWindow";
    case ATSPI_ROLE_APPLICATION:
      return "AXApplication";
    case ATSPI_ROLE_CHECK_BOX:
      return "AXCheckBox";
    case ATSPI_ROLE_RADIO_BUTTON:
    case ATSPI_ROLE_PAGE_TAB:
      return "AXRadioButton";
    case ATSPI_ROLE_LINK:
      return "AXLink";
    case ATSPI_ROLE_IMAGE:
    case ATSPI_ROLE_ICON:
    case ATSPI_ROLE_DESKTOP_ICON:
      return "AXImage";
    case ATSPI_ROLE_LIST:
    case ATSPI_ROLE_LIST_BOX:
    case ATSPI_ROLE_DESCRIPTION_LIST:
      return "AXList";
    case ATSPI_ROLE_TABLE:
    case ATSPI_ROLE_TREE_TABLE:
      return "AXTable";
    case ATSPI_ROLE_TREE:
      return "AXOutline";
    case ATSPI_ROLE_TABLE_ROW:
    case ATSPI_ROLE_TREE_ITEM:
      return "AXRow";
    case ATSPI_ROLE_TABLE_CELL:
      return "AXCell";
    case ATSPI_ROLE_COLUMN_HEADER:
    case ATSPI_ROLE_TABLE_COLUMN_HEADER:
      return "AXColumn";
    case ATSPI_ROLE_SCROLL_PANE:
    case ATSPI_ROLE_VIEWPORT:
      return "AXScrollArea";
    case ATSPI_ROLE_SCROLL_BAR:
      return "AXScrollBar";
    case ATSPI_ROLE_SLIDER:
    case ATSPI_ROLE_DIAL:
      return "AXSlider";
    case ATSPI_ROLE_SPIN_BUTTON:
      return "AXIncrementor";
    case ATSPI_ROLE_PROGRESS_BAR:
    case ATSPI_ROLE_LEVEL_BAR:
      return "AXProgressIndicator";
    case ATSPI_ROLE_MENU_BAR:
      return "AXMenuBar";
    case ATSPI_ROLE_MENU:
    case ATSPI_ROLE_POPUP_MENU:
      return "AXMenu";
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
    case ATSPI_ROLE_TEAROFF_MENU_ITEM:
      return "AXMenuItem";
    case ATSPI_ROLE_TOOL_BAR:
      return "AXToolbar";
    case ATSPI_ROLE_PAGE_TAB_LIST:
      return "AXTabGroup";
    case ATSPI_ROLE_SPLIT_PANE:
      return "AXSplitGroup";
    case ATSPI_ROLE_SEPARATOR:
      return "AXSplitter";
    case ATSPI_ROLE_TOOL_TIP:
      return "AXHelpTag";
    case ATSPI_ROLE_INVALID:
    case ATSPI_ROLE_UNKNOWN:
      return "AXUnknown";
    default:
      return "AXGroup";
  }
}

std::string actionName(std::string_view atspiAction) {
  if (atspiAction == "click" || atspiAction == "press" || atspiAction == "activate" ||
      atspiAction == "clickAncestor")
    return "AXPress";
  if (atspiAction == "showContextMenu") return "AXShowMenu";
  return std::string(atspiAction);
}

bool isTopLevelRole(int atspiRole) {
  return atspiRole == ATSPI_ROLE_FRAME || atspiRole == ATSPI_ROLE_WINDOW ||
         atspiRole == ATSPI_ROLE_DIALOG || atspiRole == ATSPI_ROLE_FILLER;
}

}  // namespace ombru::ax::desktop
