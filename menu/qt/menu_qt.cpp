#include "menu_qt.hpp"

#include <QAction>
#include <QApplication>
#include <QFont>
#include <QKeySequence>
#include <algorithm>

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

QKeySequence shortcut(const Item& item) {
  // "Ctrl" is the platform's default modifier: Command on macOS.
  if (item.keyEquivalent.empty()) return {};
  return QKeySequence(QStringLiteral("Ctrl+") + QString::fromStdString(item.keyEquivalent));
}

// What the entry stands for, when the tree tells: its represented object, or
// for a submenu without one that of its first child that has one (a
// session's submenu starts with its loop toggle, which carries its key).
const Represented* identity(const Item& item) {
  if (!std::holds_alternative<std::monostate>(item.represented)) return &item.represented;
  for (const Item& child : item.submenu)
    if (!std::holds_alternative<std::monostate>(child.represented)) return &child.represented;
  return nullptr;
}

// How well `next` fits the entry shown as `shown`: 0 not at all, 1 as an
// update, 2 as the same thing (the same identity, or the same title).
int fit(const Item& shown, const Item& next) {
  if (!updatable(shown, next)) return 0;
  if (shown.separator || identity(shown) || shown.title == next.title) return 2;
  return 1;
}

// The item as a node keeps it: its submenu cut down to the one child that
// tells its identity (or the first), enough for hasSubmenu() and identity().
Item outline(const Item& item) {
  Item out = item;
  out.submenu.clear();
  if (item.hasSubmenu()) {
    const Represented* id = identity(item);
    auto child = std::find_if(item.submenu.begin(), item.submenu.end(),
                              [&](const Item& c) { return &c.represented == id; });
    Item first = child == item.submenu.end() ? item.submenu.front() : *child;
    first.submenu.clear();
    out.submenu.push_back(std::move(first));
  }
  return out;
}

}  // namespace

bool checkable(const Item& item) {
  return item.checked || item.action == actions::toggleLoop || item.action == actions::setMinutes;
}

bool updatable(const Item& shown, const Item& next) {
  if (shown.separator || next.separator) return shown.separator == next.separator;
  if (shown.header != next.header || shown.action != next.action ||
      shown.hasSubmenu() != next.hasSubmenu())
    return false;
  const Represented* a = identity(shown);
  const Represented* b = identity(next);
  return a && b ? *a == *b : a == b;
}

struct MenuRenderer::Node {
  QAction* action = nullptr;
  // Submenus inserted with insertMenu belong to nobody, so their node owns
  // them; the submenu owns its own menuAction() and entries.
  std::unique_ptr<QMenu> submenu;
  // The entry as shown, in outline; the action reads it when chosen.
  std::shared_ptr<Item> item;
  std::vector<Node> children;
};

MenuRenderer::MenuRenderer(Choose choose) : choose_(std::move(choose)) {}

MenuRenderer::~MenuRenderer() = default;

void MenuRenderer::render(QMenu* root, const Menu& items) {
  changes_ = {};
  reconcile(root, shown_, items);
}

size_t MenuRenderer::submenuCount() const {
  size_t n = 0;
  std::vector<const std::vector<Node>*> todo{&shown_};
  while (!todo.empty()) {
    const auto* level = todo.back();
    todo.pop_back();
    for (const Node& node : *level) {
      if (node.submenu) ++n;
      todo.push_back(&node.children);
    }
  }
  return n;
}

void MenuRenderer::reconcile(QMenu* menu, std::vector<Node>& shown,
                             const std::vector<Item>& items) {
  // The alignment that keeps the most: a longest common subsequence of
  // entries that fit, weighted so that the same thing beats a mere update.
  const size_t n = shown.size(), m = items.size();
  std::vector<int> best((n + 1) * (m + 1), 0);
  auto at = [&](size_t i, size_t j) -> int& { return best[i * (m + 1) + j]; };
  for (size_t i = n; i-- > 0;)
    for (size_t j = m; j-- > 0;) {
      int value = std::max(at(i + 1, j), at(i, j + 1));
      if (const int w = fit(*shown[i].item, items[j]))
        value = std::max(value, at(i + 1, j + 1) + w);
      at(i, j) = value;
    }
  std::vector<long> match(m, -1);  // shown index for each new item, or -1
  std::vector<bool> kept(n, false);
  for (size_t i = 0, j = 0; i < n && j < m;) {
    const int w = fit(*shown[i].item, items[j]);
    if (w && at(i, j) == at(i + 1, j + 1) + w) {
      match[j] = static_cast<long>(i);
      kept[i] = true;
      ++i, ++j;
    } else if (at(i, j) == at(i + 1, j)) {
      ++i;
    } else {
      ++j;
    }
  }

  // New entries go in before the old ones come out: an open menu that is
  // emptied for a moment shrinks to nothing, and under X11 Qt then leaves it
  // unmapped for good while still counting it as shown.
  std::vector<Node> next;
  next.reserve(m);
  for (size_t j = 0; j < m; ++j) {
    if (match[j] >= 0) {
      next.push_back(std::move(shown[static_cast<size_t>(match[j])]));
      update(next.back(), items[j]);
      continue;
    }
    // Before the next entry that stays, so that the order holds.
    QAction* before = nullptr;
    for (size_t k = j + 1; k < m && !before; ++k)
      if (match[k] >= 0) before = shown[static_cast<size_t>(match[k])].action;
    next.push_back(make(menu, before, items[j]));
  }
  for (size_t i = 0; i < n; ++i)
    if (!kept[i]) drop(menu, shown[i]);
  shown = std::move(next);
}

MenuRenderer::Node MenuRenderer::make(QMenu* menu, QAction* before, const Item& item) {
  Node node;
  node.item = std::make_shared<Item>(outline(item));
  ++changes_.created;
  if (item.separator) {
    node.action = new QAction(menu);
    node.action->setSeparator(true);
    menu->insertAction(before, node.action);
    return node;
  }
  if (item.hasSubmenu()) {
    node.submenu = std::make_unique<QMenu>(label(item.title));
    reconcile(node.submenu.get(), node.children, item.submenu);
    node.action = menu->insertMenu(before, node.submenu.get());
  } else {
    node.action = new QAction(label(item.title), menu);
  }
  QAction* action = node.action;
  action->setEnabled(item.enabled);
  if (item.header) action->setFont(headerFont());
  if (!item.keyEquivalent.empty()) {
    action->setShortcut(shortcut(item));
    action->setShortcutVisibleInContextMenu(true);
  }
  if (checkable(item)) {
    action->setCheckable(true);
    action->setChecked(item.checked);
  }
  if (item.hasAction()) {
    // The item is read as shown: Qt flips a checkable action's mark before
    // it reports the click, and the command must ask for the opposite of
    // what the menu showed. A copy, in case the action leads to a render.
    QObject::connect(action, &QAction::triggered, action,
                     [choose = choose_, shown = node.item] { choose(Item(*shown)); });
  }
  if (!item.hasSubmenu()) menu->insertAction(before, action);
  return node;
}

void MenuRenderer::update(Node& node, const Item& item) {
  Item& shown = *node.item;
  if (!item.separator) {
    // Each write the action really takes is one change signalled to the
    // menu (and one property update over dbusmenu), so only what differs
    // is written; the live action is compared, since a click flips its mark.
    QAction* action = node.action;
    const QString text = label(item.title);
    if (action->text() != text) {
      action->setText(text);
      ++changes_.updated;
    }
    if (action->isEnabled() != item.enabled) {
      action->setEnabled(item.enabled);
      ++changes_.updated;
    }
    const QKeySequence keys = shortcut(item);
    if (action->shortcut() != keys) {
      action->setShortcut(keys);
      action->setShortcutVisibleInContextMenu(!keys.isEmpty());
      ++changes_.updated;
    }
    if (action->isCheckable() != checkable(item)) {
      action->setCheckable(checkable(item));
      ++changes_.updated;
    }
    if (action->isChecked() != item.checked) {
      action->setChecked(item.checked);
      ++changes_.updated;
    }
    if (node.submenu) reconcile(node.submenu.get(), node.children, item.submenu);
  }
  shown = outline(item);
}

void MenuRenderer::drop(QMenu* menu, Node& node) {
  ++changes_.removed;
  menu->removeAction(node.action);
  if (node.submenu) {
    node.children.clear();  // their actions belong to the submenu, deleted with it
    node.submenu.reset();
  } else {
    delete node.action;
  }
  node.action = nullptr;
}

}  // namespace ombru::menu::qt
