#include <gtest/gtest.h>

#include <QGuiApplication>

// The desktop tests own the toolkit's application object on the main thread,
// which answers the clipboard requests of other programs while they wait.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no display (the build lists them).
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    QGuiApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
