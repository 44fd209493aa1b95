#include <gtest/gtest.h>

#include <QApplication>

// The panel tests own a widgets application on the main thread.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no display (the build lists them).
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
