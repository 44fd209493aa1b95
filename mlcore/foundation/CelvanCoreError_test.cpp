#include "mlcore/foundation/CelvanCoreError.h"

#include <gtest/gtest.h>

namespace celvan {
namespace {

TEST(CelvanCoreError, InvalidConfigurationCarriesItsMessageUnchanged) {
    for (const std::string text : {"", "Cannot load in state: Loading", "ünïcode ✓"}) {
        try {
            throw CelvanCoreError::invalidConfiguration(text);
        } catch (const CelvanCoreError& error) {
            EXPECT_EQ(error.kind(), CelvanCoreError::Kind::invalidConfiguration);
            EXPECT_EQ(error.what(), text);
            EXPECT_EQ(error.message(), text);
        }
    }
}

}  // namespace
}  // namespace celvan
