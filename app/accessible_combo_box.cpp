#include "app/accessible_combo_box.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QLabel>
#include <QPointer>
#include <QWindow>
#include <vector>

namespace quorbel {

QString accessibleComboBoxName(const QComboBox* box) {
  if (!box->accessibleName().isEmpty()) return box->accessibleName();
  for (const QLabel* label : box->window()->findChildren<QLabel*>()) {
    if (label->buddy() != box) continue;
    QString text = label->text();
    text.remove(QLatin1Char('&'));
    if (text.endsWith(QLatin1Char(':'))) text.chop(1);
    return text.trimmed();
  }
  return box->currentText();
}

namespace {

// One item of a pop-up menu, addressed by its row; its text and state are read live from the box.
class ComboItem : public QAccessibleInterface, public QAccessibleActionInterface {
 public:
  ComboItem(QComboBox* box, int row) : box_(box), row_(row) {}

  bool isValid() const override { return box_ && row_ < box_->count(); }
  QObject* object() const override { return nullptr; }
  QWindow* window() const override { return box_ ? box_->window()->windowHandle() : nullptr; }
  QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(box_.data()); }
  QAccessibleInterface* child(int) const override { return nullptr; }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  int childCount() const override { return 0; }
  int indexOfChild(const QAccessibleInterface*) const override { return -1; }
  QAccessible::Role role() const override { return QAccessible::ListItem; }

  QString text(QAccessible::Text t) const override {
    if (!isValid()) return {};
    if (t == QAccessible::Name) return box_->itemText(row_);
    return {};
  }
  void setText(QAccessible::Text, const QString&) override {}

  QAccessible::State state() const override {
    QAccessible::State s;
    if (!isValid()) {
      s.invalid = true;
      return s;
    }
    s.selectable = true;
    s.selected = box_->currentIndex() == row_;
    s.disabled = !box_->isEnabled();
    s.invisible = !box_->isVisible();
    return s;
  }

  // The item's place in the open pop-up list, else the box itself.
  QRect rect() const override {
    if (!isValid()) return {};
    QAbstractItemView* view = box_->view();
    if (view && view->isVisible()) {
      const QRect r = view->visualRect(view->model()->index(row_, box_->modelColumn(), view->rootIndex()));
      return QRect(view->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    return QRect(box_->mapToGlobal(QPoint(0, 0)), box_->size());
  }

  void* interface_cast(QAccessible::InterfaceType t) override {
    return t == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this) : nullptr;
  }

  QStringList actionNames() const override { return {pressAction()}; }
  QStringList keyBindingsForAction(const QString&) const override { return {}; }
  // Choosing the item is what a click on it in the pop-up does: it becomes current, the box reports it
  // activated, and the pop-up closes.
  void doAction(const QString& name) override {
    if (name != pressAction() || !isValid() || !box_->isEnabled()) return;
    box_->hidePopup();
    box_->setCurrentIndex(row_);
    emit box_->activated(row_);
    emit box_->textActivated(box_->itemText(row_));
  }

 private:
  QPointer<QComboBox> box_;
  int row_;
};

class AccessibleComboBox : public QAccessibleWidget {
 public:
  explicit AccessibleComboBox(QComboBox* box) : QAccessibleWidget(box, QAccessible::ComboBox) {
    // The name no longer follows the value, so a new current item is announced as the item that
    // became selected.
    QObject::connect(box, &QComboBox::currentIndexChanged, box, [this](int row) {
      if (QAccessibleInterface* item = child(row)) {
        QAccessibleEvent selected(item, QAccessible::Selection);
        QAccessible::updateAccessibility(&selected);
      }
    });
  }
  ~AccessibleComboBox() override {
    for (QAccessible::Id id : items_) QAccessible::deleteAccessibleInterface(id);
  }

  QString text(QAccessible::Text t) const override {
    switch (t) {
      case QAccessible::Name: return accessibleComboBoxName(box());
      case QAccessible::Value: return box()->currentText();
      default: return QAccessibleWidget::text(t);
    }
  }

  int childCount() const override { return box()->count(); }
  QAccessibleInterface* child(int index) const override {
    if (index < 0 || index >= box()->count()) return nullptr;
    // Item interfaces are registered once and kept, so that each has one stable identity on the bus.
    while (static_cast<int>(items_.size()) <= index) {
      items_.push_back(QAccessible::registerAccessibleInterface(new ComboItem(box(), static_cast<int>(items_.size()))));
    }
    return QAccessible::accessibleInterface(items_[static_cast<size_t>(index)]);
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    for (size_t i = 0; i < items_.size() && static_cast<int>(i) < box()->count(); ++i) {
      if (QAccessible::accessibleInterface(items_[i]) == child) return static_cast<int>(i);
    }
    return -1;
  }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }

  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.expandable = true;
    s.expanded = box()->view() && box()->view()->isVisible();
    s.collapsed = !s.expanded;
    return s;
  }

  // "Press" and "Show menu" open the pop-up, or close it when it is open.
  QStringList actionNames() const override { return {pressAction(), showMenuAction()}; }
  void doAction(const QString& name) override {
    if (name != pressAction() && name != showMenuAction()) return QAccessibleWidget::doAction(name);
    if (box()->view() && box()->view()->isVisible()) box()->hidePopup();
    else box()->showPopup();
  }

 private:
  QComboBox* box() const { return static_cast<QComboBox*>(widget()); }
  mutable std::vector<QAccessible::Id> items_;
};

QAccessibleInterface* comboBoxFactory(const QString& className, QObject* object) {
  if (className != QLatin1String("QComboBox") || !object || !object->isWidgetType()) return nullptr;
  auto* box = static_cast<QComboBox*>(object);
  // Editable boxes keep Qt's own interface, which exposes their text field.
  return box->isEditable() ? nullptr : new AccessibleComboBox(box);
}

}  // namespace

void installAccessibleComboBoxes() {
  static const bool installed = [] {
    QAccessible::installFactory(comboBoxFactory);
    return true;
  }();
  (void)installed;
}

}  // namespace quorbel
