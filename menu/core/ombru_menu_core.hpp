#pragma once
// Everything the toolkit layer of ombru-menu needs from the core.

#include "commands.hpp"
#include "constants.hpp"
#include "display.hpp"
#include "menu_model.hpp"
#include "state.hpp"
#include "text.hpp"
