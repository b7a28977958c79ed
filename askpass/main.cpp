// quorbel-askpass PROMPT: asks for a password in a dialog; see password_prompt.h.

#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QLocale>
#include <cstdio>

#include "askpass/password_prompt.h"
#include "translations/translator.h"

int main(int argc, char** argv) {
  // A reader that went away must turn into a failed write (exit 1), not a silent death by SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  if (argc > 2) {
    std::fprintf(stderr, "usage: quorbel-askpass [PROMPT]\n");
    return 2;
  }
  QApplication app(argc, argv);
  // A dialog nobody can see cannot be answered: on a platform without a screen (a test's offscreen
  // session) the answer is "cancelled" at once, never a wait without end.
  const QString platform = QGuiApplication::platformName();
  if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) {
    std::fprintf(stderr, "quorbel-askpass: no screen to show the password dialog on (%s)\n", qPrintable(platform));
    return 1;
  }
  const auto translators = quorbel::installTranslations(QLocale(), quorbel::translationsFolder());
  QCoreApplication::setApplicationName(QStringLiteral("quorbel-askpass"));
  QGuiApplication::setDesktopFileName(QStringLiteral("example.quorbel.SparseBundleUtility"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("quorbel")));
  const QString prompt =
      argc == 2 ? QString::fromLocal8Bit(argv[1]) : quorbel::askpass::PasswordPrompt::tr("Password:");
  quorbel::askpass::PasswordPrompt dialog(prompt);
  const int result = dialog.exec();
  QByteArray password = dialog.takePassword();
  return quorbel::askpass::answer(result, password, STDOUT_FILENO);
}
