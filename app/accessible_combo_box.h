#pragma once
// Pop-up menus (non-editable QComboBox) as a screen reader should meet them on the desktop
// accessibility bus. Qt 6.4 on Unix names a combo box after its current item, so the window's two unit
// pop-ups both read "MB", and its items can only be reached through the pop-up list a mouse opens.
// The interface installed here names a combo box after its accessible name (else its buddy label),
// reports the current item as its value, and offers every item as a child that can be chosen with
// its "Press" action, with the current one marked selected.

#include <QString>

class QComboBox;
class QAccessibleInterface;

namespace quorbel {

// Installs the interface for every non-editable combo box made from now on. Idempotent.
void installAccessibleComboBoxes();

// The name the interface reports for `box`: its accessible name, else the text of the label whose
// buddy it is (without mnemonic ampersand and trailing colon), else its current item.
QString accessibleComboBoxName(const QComboBox* box);

}  // namespace quorbel
