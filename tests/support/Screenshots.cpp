#include "tests/support/Screenshots.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace testsupport {
namespace {

QString path(const std::filesystem::path& file) { return QString::fromStdString(file.string()); }

long differingPixels(const QImage& actual, const QImage& expected) {
    long differing = 0;
    for (int y = 0; y < actual.height(); ++y) {
        for (int x = 0; x < actual.width(); ++x) {
            const QRgb a = actual.pixel(x, y);
            const QRgb b = expected.pixel(x, y);
            const int distance = std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                                           std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b))});
            if (distance > 48) ++differing;
        }
    }
    return differing;
}

}  // namespace

void expectLooksLike(const QImage& shot, const std::string& screenshotDir, const std::string& goldenDir,
                     const std::string& name) {
    std::filesystem::create_directories(screenshotDir);
    ASSERT_TRUE(shot.save(path(std::filesystem::path(screenshotDir) / (name + ".png")))) << name;
    const std::filesystem::path golden = std::filesystem::path(goldenDir) / (name + ".png");
    if (std::getenv("DICTARO_UPDATE_GOLDEN")) {
        ASSERT_TRUE(shot.save(path(golden))) << name;
    }
    const QImage expected = QImage(path(golden)).convertToFormat(QImage::Format_ARGB32);
    ASSERT_FALSE(expected.isNull()) << "no golden image " << golden;
    const QImage actual = shot.convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(actual.size(), expected.size()) << name;
    const long differing = differingPixels(actual, expected);
    EXPECT_LE(differing, actual.width() * actual.height() / 200) << name << ": " << differing << " pixels differ";
}

}  // namespace testsupport
