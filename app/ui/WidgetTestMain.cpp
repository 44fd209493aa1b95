#include <gtest/gtest.h>

#include <QApplication>

// The widget tests draw off screen: they need no X server, and their
// screenshots do not depend on a window manager's decorations.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
