// The window's pop-up menus seen through Qt's accessibility interface, as the desktop bridge hands
// them to a screen reader: named by their labels, valued by their current item, each item choosable.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QMainWindow>
#include <QSignalSpy>
#include <QVBoxLayout>
#include <memory>

#include "app/accessible_combo_box.h"
#include "ui/main_window.h"
#include "ui/view_controller.h"

namespace {

using quorbel::installAccessibleComboBoxes;

QAccessibleInterface* iface(QObject* o) { return QAccessible::queryAccessibleInterface(o); }

TEST(Accessibility, PopUpMenusAreNamedByTheirLabelsAndItemsCanBeChosen) {
  installAccessibleComboBoxes();
  auto window = std::make_unique<quorbel::MainWindow>(new quorbel::ViewController(std::string("/nonexistent/tool")));
  window->show();
  const struct {
    const char* object;
    QString name;
    QString choose;
  } popUps[] = {
      {"maxSizePopup", "Size unit", "GB"},
      {"bandSizePopup", "Band unit", "GB"},
      {"filesystemPopup", "File system", "ExFAT"},
      {"encryptPopup", "Encryption", "AES-256"},
  };
  for (const auto& p : popUps) {
    SCOPED_TRACE(p.object);
    auto* box = window->findChild<QComboBox*>(p.object);
    ASSERT_TRUE(box);
    QAccessibleInterface* a = iface(box);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->role(), QAccessible::ComboBox);
    EXPECT_EQ(a->text(QAccessible::Name), p.name);
    EXPECT_EQ(a->text(QAccessible::Value), box->currentText());

    // Every item is a child named by its text; exactly the current one is selected.
    ASSERT_EQ(a->childCount(), box->count());
    int chooseRow = -1;
    for (int row = 0; row < box->count(); ++row) {
      QAccessibleInterface* item = a->child(row);
      ASSERT_TRUE(item);
      EXPECT_EQ(item, a->child(row)) << "one identity per item";
      EXPECT_EQ(a->indexOfChild(item), row);
      EXPECT_EQ(item->parent(), a);
      EXPECT_EQ(item->text(QAccessible::Name), box->itemText(row));
      EXPECT_EQ(item->state().selected, row == box->currentIndex());
      if (item->text(QAccessible::Name).compare(p.choose, Qt::CaseInsensitive) == 0) chooseRow = row;
    }
    ASSERT_NE(chooseRow, -1) << "no item " << p.choose.toStdString();
    ASSERT_NE(chooseRow, box->currentIndex());

    // Choosing through the item's action makes it current and reports it as a user's choice.
    QSignalSpy activated(box, &QComboBox::activated);
    QAccessibleInterface* item = a->child(chooseRow);
    ASSERT_TRUE(item->actionInterface());
    EXPECT_TRUE(item->actionInterface()->actionNames().contains(QAccessibleActionInterface::pressAction()));
    item->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(box->currentIndex(), chooseRow);
    ASSERT_EQ(activated.count(), 1);
    EXPECT_EQ(activated.at(0).at(0).toInt(), chooseRow);
    EXPECT_TRUE(item->state().selected);
    EXPECT_EQ(a->text(QAccessible::Name), p.name) << "the name does not follow the value";
    EXPECT_EQ(a->text(QAccessible::Value), box->itemText(chooseRow));
  }
}

// A pop-up without an accessible name takes its buddy label's words; a disabled one cannot be changed.
TEST(Accessibility, PopUpNameFromBuddyLabelAndDisabledPopUpsStayPut) {
  installAccessibleComboBoxes();
  QWidget window;
  auto* layout = new QVBoxLayout(&window);
  auto* label = new QLabel(QStringLiteral("&Look in:"), &window);
  auto* box = new QComboBox(&window);
  box->addItems({QStringLiteral("Home"), QStringLiteral("Documents")});
  label->setBuddy(box);
  layout->addWidget(label);
  layout->addWidget(box);
  EXPECT_EQ(iface(box)->text(QAccessible::Name), QStringLiteral("Look in"));

  box->setEnabled(false);
  iface(box)->child(1)->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  EXPECT_EQ(box->currentIndex(), 0);

  // An item removed from the box stops being a valid child.
  box->setEnabled(true);
  QAccessibleInterface* second = iface(box)->child(1);
  box->removeItem(1);
  EXPECT_EQ(iface(box)->childCount(), 1);
  EXPECT_FALSE(second->isValid());
}

}  // namespace
