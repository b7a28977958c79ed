// Under a German locale the window, its menus and dialogs show no English text of their own: each is
// built once in English and once with the German translations installed, and no text may be the same
// in both, apart from names and format tokens that read the same in every language.

#include "app/app_delegate.h"
#include "app/deferred_parts.h"
#include "askpass/password_prompt.h"
#include "operations/argument_lists.h"
#include "operations/operation.h"
#include "translations/translator.h"
#include "ui/main_window.h"
#include "ui/password_view_controller.h"
#include "ui/view_controller.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QRegularExpression>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>

#include <functional>
#include <set>

using namespace quorbel;

namespace {

// Every text a user can see or hear of `root` and its children, without mnemonic marks.
std::set<QString> textsOf(QWidget* root) {
  std::set<QString> texts;
  const auto add = [&](QString text) {
    if (!text.remove(QLatin1Char('&')).trimmed().isEmpty()) texts.insert(text);
  };
  QList<QWidget*> widgets = root->findChildren<QWidget*>();
  widgets.prepend(root);
  for (QWidget* w : widgets) {
    for (const QString& t : {w->windowTitle(), w->toolTip(), w->accessibleName(), w->accessibleDescription()}) add(t);
    if (auto* button = qobject_cast<QAbstractButton*>(w)) add(button->text());
    if (auto* label = qobject_cast<QLabel*>(w)) add(label->text());
    if (auto* field = qobject_cast<QLineEdit*>(w)) add(field->placeholderText());
    if (auto* menu = qobject_cast<QMenu*>(w)) add(menu->title());
    if (auto* combo = qobject_cast<QComboBox*>(w))
      for (int i = 0; i < combo->count(); ++i) add(combo->itemText(i));
    if (auto* tabs = qobject_cast<QTabWidget*>(w))
      for (int i = 0; i < tabs->count(); ++i) add(tabs->tabText(i));
    for (QAction* action : w->actions()) add(action->text());
  }
  return texts;
}

// The window with its menu bar, the password sheet, the help window and the password dialog.
std::set<QString> everyText() {
  QTemporaryDir dir;
  QSettings settings(dir.filePath("defaults.ini"), QSettings::IniFormat);
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
  MainWindow window(new ViewController(std::string("/nonexistent/tool")));
  AppDelegate::Seams seams;
  seams.settings = &settings;
  seams.parts = [] { return quorbelDeferredParts(); };
  seams.updateCheck = true;  // its status item too
  AppDelegate delegate(std::move(seams));
  delegate.installMenuBar(&window,
                          {window.viewController()->largerTextAction(), window.viewController()->smallerTextAction()});
  PasswordViewController sheet;
  askpass::PasswordPrompt prompt(QStringLiteral("Password of A.sparsebundle:"));  // the tool's words
  std::unique_ptr<QWidget> help(quorbelDeferredParts()->makeHelpWindow({}, nullptr));
  std::set<QString> texts;
  for (QWidget* part :
       {static_cast<QWidget*>(&window), static_cast<QWidget*>(&sheet), static_cast<QWidget*>(&prompt), help.get()})
    texts.merge(textsOf(part));
  texts.erase(QStringLiteral("Password of A.sparsebundle:"));
  return texts;
}

TEST(Translations, TheGermanWindowShowsNoEnglishTextOfItsOwn) {
  const std::set<QString> english = everyText();
  auto translators = installTranslations(QLocale(QLocale::German, QLocale::Germany), QStringLiteral(QUORBEL_QM_DIR));
  ASSERT_EQ(translators.size(), 2u) << "the German translations (the project's and Qt's) did not load";
  const std::set<QString> german = everyText();
  // The operations' pane texts, each through its marker in operation.cpp.
  for (std::string_view text : {texts::resizeHeading, texts::compactHeading, texts::changeBandHeading,
                                texts::getInfoHeading, texts::changePasswordHeading, texts::createCancelled,
                                texts::changePasswordCancelled, texts::encryptedRefusal, texts::batteryHint})
    EXPECT_NE(paneText(text), text) << "untranslated pane text: " << text;
  translators.clear();

  // Names, format and cipher names, units and numbers read the same in German.
  const QRegularExpression same(QStringLiteral(
      "^(Quorbel( Sparse Bundle Utility)?|Case-sensitive APFS|exFAT|[A-Z0-9+\\-. ]+|[0-9.,]+ ?[A-Za-z]*|OK|Text)$"));
  QStringList untranslated;
  for (const QString& text : german)
    if (english.count(text) && !same.match(text).hasMatch()) untranslated << text;
  EXPECT_TRUE(untranslated.isEmpty()) << "English under a German locale: " << untranslated.join(" | ").toStdString();
  EXPECT_GT(german.size(), 40u);  // the walk saw the window
  EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));  // removed again
}

}  // namespace
