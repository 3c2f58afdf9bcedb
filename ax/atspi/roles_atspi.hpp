// AT-SPI's roles and action names in the names the core knows them by.
#pragma once

#include <string>
#include <string_view>

namespace ombru::ax::desktop {

// Role text of an AT-SPI role; `multiLine` only matters for text roles.
std::string roleName(int atspiRole, bool multiLine);
// The core's action name for an AT-SPI action name.
std::string actionName(std::string_view atspiAction);
// Roles an application's top-level child has when it is a window: Qt
// exposes a bare widget shown as a window as a filler.
bool isTopLevelRole(int atspiRole);

}  // namespace ombru::ax::desktop
