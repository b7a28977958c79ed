// GoogleTest entry for tests that need Qt's event loop and widgets.

#include <gtest/gtest.h>

#include <QApplication>

// Under the sanitizers: Qt 6.4's PDF modules never free some of their own allocations (each QPdfView
// leaves a page-render thread and a scroller gesture behind; QPdfDocument keeps parts of a document it
// failed to load). Full malloc stacks let these suppressions match only stacks through those modules.
extern "C" const char* __asan_default_options();
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() { return "leak:libQt6Pdf\nleak:QThread::exec\n"; }

int main(int argc, char** argv) {
  // No test needs a screen; this also lets CTest list the tests without one.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
