// main() of the widget tests: a QApplication (offscreen unless told otherwise), a private settings
// folder, and standard input that is not a pipe, so that a run without a password is told apart
// from one with an empty password.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  dup2(open("/dev/null", O_RDONLY | O_CLOEXEC), STDIN_FILENO);
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  QCoreApplication::setOrganizationName(QStringLiteral("QuorbelTest"));
  QCoreApplication::setApplicationName(QStringLiteral("SparseBundleUtilityTest"));
  QTemporaryDir settings;
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
  return RUN_ALL_TESTS();
}
