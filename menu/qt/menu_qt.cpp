#include "menu_qt.hpp"

#include <QAction>
#include <QApplication>
#include <QFont>
#include <QKeySequence>

#include "core/constants.hpp"

namespace ombru::menu::qt {
namespace {

// Qt reads "&" as a mnemonic marker; the daemon's texts are shown literally.
QString label(const std::string& title) {
  return QString::fromStdString(title).replace(QLatin1Char('&'), QLatin1String("&&"));
}

QFont headerFont() {
  QFont font = QApplication::font("QMenu");
  font.setPointSizeF(HEADER_FONT_SIZE);
  font.setWeight(QFont::DemiBold);
  return font;
}

}  // namespace

bool checkable(const Item& item) {
  return item.checked || item.action == actions::toggleLoop || item.action == actions::setMinutes;
}

MenuRenderer::~MenuRenderer() {
  for (QMenu* m : submenus_) delete m;
}

void MenuRenderer::render(QMenu* root, Menu items) {
  // The new items go in before the old ones come out: an open menu that is
  // emptied for a moment shrinks to nothing, and under X11 Qt then leaves it
  // unmapped for good while still counting it as shown.
  const QList<QAction*> old = root->actions();
  std::vector<QMenu*> oldSubmenus = std::move(submenus_);
  submenus_.clear();
  const auto oldTree = tree_;
  tree_ = std::make_shared<const Menu>(std::move(items));
  fill(root, *tree_);
  for (QAction* a : old) {
    root->removeAction(a);
    if (a->parent() == root) delete a;
  }
  // QMenu::clear() would not delete these either: submenus attached with
  // addMenu belong to nobody.
  for (QMenu* m : oldSubmenus) delete m;
}

void MenuRenderer::fill(QMenu* menu, const std::vector<Item>& items) {
  for (const Item& item : items) {
    if (item.separator) {
      menu->addSeparator();
      continue;
    }
    QAction* action = nullptr;
    if (item.hasSubmenu()) {
      auto* sub = new QMenu(label(item.title));
      submenus_.push_back(sub);
      fill(sub, item.submenu);
      action = menu->addMenu(sub);
    } else {
      action = menu->addAction(label(item.title));
    }
    action->setEnabled(item.enabled);
    if (item.header) action->setFont(headerFont());
    if (!item.keyEquivalent.empty()) {
      // "Ctrl" is the platform's default modifier: Command on macOS.
      action->setShortcut(
          QKeySequence(QStringLiteral("Ctrl+") + QString::fromStdString(item.keyEquivalent)));
      action->setShortcutVisibleInContextMenu(true);
    }
    if (checkable(item)) {
      action->setCheckable(true);
      action->setChecked(item.checked);
    }
    if (item.hasAction()) {
      // The item is read as built: Qt flips a checkable action's mark before
      // it reports the click, and the command must ask for the opposite of
      // what the menu showed.
      QObject::connect(action, &QAction::triggered, action,
                       [choose = choose_, tree = tree_, it = &item] { choose(*it); });
    }
  }
}

}  // namespace ombru::menu::qt
