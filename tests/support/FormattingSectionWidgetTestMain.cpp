#include <gtest/gtest.h>

#include <QApplication>

// Fontconfig keeps its font caches until the process ends and never frees
// them; they are not ours to release.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

// The widget tests own the toolkit's application object on the main thread.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no display (the build lists them).
    if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
