#pragma once
// Turns the core's item tree into a QMenu. Every title, order, condition and
// attribute comes from the tree; this only maps it onto Qt.

#include <QMenu>
#include <functional>
#include <memory>
#include <vector>

#include "core/menu_model.hpp"

namespace ombru::menu::qt {

// Whether the item carries a check mark that can be on or off. The tree gives
// only the mark's state, so the two actions whose items have one are named
// here.
bool checkable(const Item& item);

class MenuRenderer {
 public:
  // Called with the chosen item, as it was when the menu was built.
  using Choose = std::function<void(const Item&)>;

  explicit MenuRenderer(Choose choose) : choose_(std::move(choose)) {}
  ~MenuRenderer();
  MenuRenderer(const MenuRenderer&) = delete;
  MenuRenderer& operator=(const MenuRenderer&) = delete;

  // Empties `root` and fills it from `items`.
  void render(QMenu* root, Menu items);

  // Submenus alive from the last render (for tests).
  size_t submenuCount() const { return submenus_.size(); }

 private:
  void fill(QMenu* menu, const std::vector<Item>& items);

  Choose choose_;
  // Submenus attached with addMenu belong to nobody (QMenu::clear() leaves
  // them alive), so they are kept here and deleted on every rebuild.
  std::vector<QMenu*> submenus_;
  std::shared_ptr<const Menu> tree_;  // the items the actions point into
};

}  // namespace ombru::menu::qt
