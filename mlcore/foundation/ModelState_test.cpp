#include "mlcore/foundation/ModelState.h"

#include <gtest/gtest.h>

namespace celvan {
namespace {

TEST(ModelState, DescribesEachStateAndKnowsWhichAreBusy) {
    struct Case {
        ModelState state;
        const char* text;
        bool busy;
    };
    for (const Case& c : {Case{ModelState::unloading, "Unloading", true}, Case{ModelState::unloaded, "Unloaded", false},
                          Case{ModelState::loading, "Loading", true}, Case{ModelState::loaded, "Loaded", false},
                          Case{ModelState::prewarming, "Specializing", true},
                          Case{ModelState::prewarmed, "Specialized", false},
                          Case{ModelState::downloading, "Downloading", true},
                          Case{ModelState::downloaded, "Downloaded", false}}) {
        EXPECT_EQ(description(c.state), c.text);
        EXPECT_EQ(isBusy(c.state), c.busy) << c.text;
    }
}

}  // namespace
}  // namespace celvan
