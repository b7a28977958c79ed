// The password dialog: what each way of ending it prints and returns, passwords beyond ASCII, the
// accessible names, and the program's own exit codes.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QAccessible>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <string>

#include "askpass/password_prompt.h"

using quorbel::askpass::PasswordPrompt;

namespace {

// Everything `answer` wrote to a pipe, with its return value.
struct Answer {
  int status;
  std::string out;
};

Answer answerThroughPipe(int result, QByteArray password) {
  int fds[2];
  EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
  const int status = quorbel::askpass::answer(result, password, fds[1]);
  EXPECT_TRUE(password.isEmpty()) << "the password must not outlive the answer";
  close(fds[1]);
  std::string out;
  char buffer[256];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  return {status, out};
}

// Opens the dialog, types `typed`, ends it with `end`, and returns what the program would print.
Answer runDialog(const QString& typed, const std::function<void(PasswordPrompt&)>& end) {
  PasswordPrompt dialog(QStringLiteral("Enter the password for “Backup.sparsebundle”:"));
  int result = -1;
  QObject::connect(&dialog, &QDialog::finished, [&result](int r) { result = r; });
  dialog.open();
  EXPECT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  // Typed as key events carrying text, as an input method delivers characters beyond ASCII.
  if (!typed.isEmpty()) {
    QTest::sendKeyEvent(QTest::Press, dialog.passwordField(), Qt::Key_unknown, typed, Qt::NoModifier);
    QTest::sendKeyEvent(QTest::Release, dialog.passwordField(), Qt::Key_unknown, typed, Qt::NoModifier);
  }
  EXPECT_EQ(dialog.passwordField()->text(), typed);
  end(dialog);
  EXPECT_TRUE(QTest::qWaitFor([&] { return result != -1; }, 2000));
  QByteArray password = dialog.takePassword();
  EXPECT_TRUE(dialog.passwordField()->text().isEmpty());
  return answerThroughPipe(result, std::move(password));
}

TEST(Askpass, EachWayOfEndingTheDialog) {
  const auto clickOk = [](PasswordPrompt& d) { QTest::mouseClick(d.okButton(), Qt::LeftButton); };
  const auto pressReturn = [](PasswordPrompt& d) { QTest::keyClick(d.passwordField(), Qt::Key_Return); };
  const auto clickCancel = [](PasswordPrompt& d) { QTest::mouseClick(d.cancelButton(), Qt::LeftButton); };
  const auto pressEscape = [](PasswordPrompt& d) { QTest::keyClick(d.passwordField(), Qt::Key_Escape); };
  const auto close = [](PasswordPrompt& d) { d.close(); };
  const struct {
    const char* name;
    QString typed;
    std::function<void(PasswordPrompt&)> end;
    int status;
    std::string out;
  } cases[] = {
      {"OK", QStringLiteral("s3cret word"), clickOk, 0, "s3cret word\n"},
      {"Return", QStringLiteral("s3cret"), pressReturn, 0, "s3cret\n"},
      {"non-ASCII as UTF-8", QStringLiteral("pässwörd €😀"), clickOk, 0,
       "p\xc3\xa4ssw\xc3\xb6rd \xe2\x82\xac\xf0\x9f\x98\x80\n"},
      {"empty password is still an answer", QString(), clickOk, 0, "\n"},
      {"Cancel", QStringLiteral("typed"), clickCancel, 1, ""},
      {"Escape", QStringLiteral("typed"), pressEscape, 1, ""},
      {"window closed", QStringLiteral("typed"), close, 1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Answer a = runDialog(c.typed, c.end);
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(a.out, c.out);
  }
}

TEST(Askpass, AnAnswerNobodyReadsIsACancel) {
  signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  close(fds[0]);
  QByteArray password("secret");
  EXPECT_EQ(quorbel::askpass::answer(QDialog::Accepted, password, fds[1]), 1);
  EXPECT_TRUE(password.isEmpty());
  close(fds[1]);
}

TEST(Askpass, EveryControlHasAnAccessibleName) {
  PasswordPrompt dialog(QStringLiteral("Enter the current password:"));
  const auto name = [](QWidget* w) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w);
    return iface ? iface->text(QAccessible::Name) : QStringLiteral("<none>");
  };
  EXPECT_EQ(name(dialog.passwordField()), QStringLiteral("Password"));
  EXPECT_EQ(name(dialog.okButton()), QStringLiteral("OK"));
  EXPECT_EQ(name(dialog.cancelButton()), QStringLiteral("Cancel"));
  EXPECT_EQ(name(dialog.promptLabel()), QStringLiteral("Enter the current password:"));
  EXPECT_EQ(dialog.passwordField()->echoMode(), QLineEdit::Password);
}

// The program itself, where no dialog can be answered: a wrong argument list, a display that cannot
// be reached, no screen at all; the tool must read each as a cancel, never as an empty password.
TEST(Askpass, ProgramExitsNonZeroWithoutAnAnswer) {
  QProcess p;
  p.start(QStringLiteral(QUORBEL_ASKPASS), {QStringLiteral("one"), QStringLiteral("two")});
  ASSERT_TRUE(p.waitForFinished(10000));
  EXPECT_EQ(p.exitCode(), 2);
  EXPECT_TRUE(p.readAllStandardOutput().isEmpty());

  // No display to reach, and a platform without a screen (where nobody could answer).
  for (const char* platform : {"xcb", "offscreen"}) {
    SCOPED_TRACE(platform);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QString::fromLatin1(platform));
    env.insert(QStringLiteral("DISPLAY"), QStringLiteral(":98765"));
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(QUORBEL_ASKPASS), {QStringLiteral("Password:")});
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_FALSE(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0);
    EXPECT_TRUE(p.readAllStandardOutput().isEmpty());
  }
}

// Stop in the window (SIGINT to the tool) while the tool waits for the password dialog: the dialog is
// ended, the tool ends at once with a failure, and the bundle is as it was.
TEST(Askpass, AnInterruptedToolEndsItsPasswordDialog) {
  QTemporaryDir dir;
  const QString bundle = dir.filePath("Secret.sparsebundle");
  QProcess create;
  create.start(QStringLiteral(QUORBEL_IMAGETOOL), {"create", "-size", "8m", "-type", "SPARSEBUNDLE", "-encryption",
                                                   "AES-128", "-stdinpass", "-fs", "HFS+J", "-volname", "S", bundle});
  create.write("secret");
  create.closeWriteChannel();
  ASSERT_TRUE(create.waitForFinished(60000));
  ASSERT_EQ(create.exitCode(), 0) << create.readAllStandardError().toStdString();
  const auto snapshot = [&] {
    QStringList files;
    for (QDirIterator it(bundle, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
      QFile f(it.next());
      EXPECT_TRUE(f.open(QIODevice::ReadOnly));
      files << it.filePath() + ":" + QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex();
    }
    files.sort();
    return files;
  };
  const QStringList before = snapshot();

  // A password program that stays until it is ended, and says where it runs.
  const QString pidFile = dir.filePath("askpass.pid");
  QFile script(dir.filePath("askpass"));
  ASSERT_TRUE(script.open(QIODevice::WriteOnly));
  script.write(QByteArray("#!/bin/sh\necho $$ > '") + pidFile.toUtf8() + "'\nexec sleep 60\n");
  script.close();
  script.setPermissions(script.permissions() | QFileDevice::ExeOwner);

  QProcess compact;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QUORBEL_ASKPASS"), script.fileName());
  compact.setProcessEnvironment(env);
  compact.start(QStringLiteral(QUORBEL_IMAGETOOL), {"compact", bundle});
  ASSERT_TRUE(QTest::qWaitFor([&] { return QFile(pidFile).size() > 0; }, 30000));
  QFile pidIn(pidFile);
  ASSERT_TRUE(pidIn.open(QIODevice::ReadOnly));
  const pid_t dialog = static_cast<pid_t>(pidIn.readAll().trimmed().toLongLong());
  ::kill(static_cast<pid_t>(compact.processId()), SIGINT);
  ASSERT_TRUE(compact.waitForFinished(10000)) << "the tool went on waiting for the dialog";
  EXPECT_NE(compact.exitCode(), 0);
  EXPECT_TRUE(compact.readAllStandardError().contains("interrupted"));
  EXPECT_TRUE(QTest::qWaitFor([&] { return ::kill(dialog, 0) != 0; }, 5000)) << "the dialog outlived the tool";
  EXPECT_EQ(snapshot(), before);
}

}  // namespace
