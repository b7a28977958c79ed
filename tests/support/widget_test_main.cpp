// main() of the widget tests: a QApplication (offscreen unless told otherwise), an identity and a
// private settings folder, and standard input that is not a pipe, so a run without a password is
// told apart from one with an empty password.
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const int devNull = open("/dev/null", O_RDONLY);
  if (devNull >= 0) {
    dup2(devNull, STDIN_FILENO);
    close(devNull);
  }
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  QCoreApplication::setOrganizationName(QStringLiteral("QuorbelTest"));
  QCoreApplication::setOrganizationDomain(QStringLiteral("test.quorbel.example"));
  QCoreApplication::setApplicationName(QStringLiteral("SparseBundleUtilityTest"));
  QTemporaryDir settingsDir;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir.path());
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
  qputenv("XDG_CONFIG_HOME", settingsDir.path().toUtf8());
  return RUN_ALL_TESTS();
}
