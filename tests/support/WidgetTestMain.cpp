#include <gtest/gtest.h>

#include <QApplication>

// The widget tests draw off screen unless they are built to meet the X
// server: off screen they need no display, and their screenshots do not
// depend on a window manager's decorations.
#ifndef WIDGET_TEST_PLATFORM
#define WIDGET_TEST_PLATFORM "offscreen"
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    qputenv("QT_QPA_PLATFORM", WIDGET_TEST_PLATFORM);
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
