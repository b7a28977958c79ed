// GoogleTest entry for tests that need Qt's event loop and widgets.

#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv)
{
    // No test needs a screen; this also lets CTest list the tests without one.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
