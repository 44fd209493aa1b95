#pragma once

#include <QImage>
#include <string>

namespace testsupport {

// Saves `shot` as build/screenshots/<name>.png for a person to look at, and
// checks it against golden/<name>.png beside the test within a tolerance:
// antialiasing and font hinting move a few edge pixels, a wrong colour or
// layout moves many. DICTARO_UPDATE_GOLDEN=1 writes the golden image anew.
void expectLooksLike(const QImage& shot, const std::string& screenshotDir, const std::string& goldenDir,
                     const std::string& name);

}  // namespace testsupport
