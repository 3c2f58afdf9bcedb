#pragma once
// Makes a QMenu show the core's item tree. Every title, order, condition and
// attribute comes from the tree; this only maps it onto Qt.
//
// The tree is built whole on every refresh, but the live menu is only
// reconciled with it: entries that line up with what is shown keep their
// QAction and get their changed attributes, and only what differs is
// inserted, removed or replaced. A menu open under the pointer, and the ids a
// desktop shell holds for its entries (dbusmenu), then survive a refresh.

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

// Whether an entry already shown as `shown` may be updated in place to show
// `next`: both separators, or entries of the same kind (header or not, same
// action, submenu or not) standing for the same thing (the same represented
// object; for a submenu without one, that of its first child that has one).
bool updatable(const Item& shown, const Item& next);

class MenuRenderer {
 public:
  // Called with the chosen item, as it was shown when the user chose it.
  using Choose = std::function<void(const Item&)>;

  struct Changes {
    int created = 0;  // actions made (separators and submenus included)
    int removed = 0;  // actions taken out and deleted
    int updated = 0;  // attribute writes to actions that stayed
  };

  explicit MenuRenderer(Choose choose);
  ~MenuRenderer();
  MenuRenderer(const MenuRenderer&) = delete;
  MenuRenderer& operator=(const MenuRenderer&) = delete;

  // Makes `root` show `items`. `root` must be the same menu on every call.
  void render(QMenu* root, const Menu& items);

  // What the last render did, and the submenus alive now (for tests).
  const Changes& lastChanges() const { return changes_; }
  size_t submenuCount() const;

 private:
  struct Node;
  void reconcile(QMenu* menu, std::vector<Node>& shown, const std::vector<Item>& items);
  Node make(QMenu* menu, QAction* before, const Item& item);
  void update(Node& node, const Item& item);
  void drop(QMenu* menu, Node& node);

  Choose choose_;
  std::vector<Node> shown_;  // the root menu's entries, in order
  Changes changes_;
};

}  // namespace ombru::menu::qt
