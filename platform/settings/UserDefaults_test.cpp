#include "platform/settings/UserDefaults.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <thread>

#include "platform/foundation/JsonReader.h"
#include "platform/settings/NotificationCenter.h"
#include "tests/support/TempDirectory.h"

namespace platform {
namespace {

std::filesystem::perms permissionsOf(const std::filesystem::path& path) {
    return std::filesystem::status(path).permissions() & std::filesystem::perms::all;
}

std::string contentsOf(const std::filesystem::path& path) {
    std::ifstream input(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
}

TEST(UserDefaults, KeepsTypedValuesInAPrivateFileAcrossInstances) {
    testsupport::TempDirectory temporary;
    const auto file = temporary.path() / "dictaro" / "settings.json";
    {
        UserDefaults defaults(file);
        EXPECT_EQ(defaults.object("Missing"), std::nullopt);
        defaults.set("Flag", JSONNumber::boolean(false));
        defaults.set("Name", std::string("qwen3:4b"));
        defaults.set({{"Count", JSONNumber::signedInteger(1)}, {"Name", std::string("gemma3:4b")}});
        defaults.removeObject("Count");
        defaults.removeObject("NeverSet");
    }
    EXPECT_EQ(permissionsOf(file.parent_path()), std::filesystem::perms::owner_all);
    EXPECT_EQ(permissionsOf(file), std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    UserDefaults reread(file);
    EXPECT_EQ(reread.boolean("Flag"), false);
    EXPECT_EQ(reread.string("Name"), "gemma3:4b");
    EXPECT_EQ(reread.object("Count"), std::nullopt);
    // A value of another type reads as absent through the typed reads.
    EXPECT_EQ(reread.string("Flag"), std::nullopt);
    EXPECT_EQ(reread.boolean("Name"), std::nullopt);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(file.parent_path()), {}), 1);
}

TEST(UserDefaults, StandardFileLivesUnderTheConfigFolder) {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    ASSERT_NE(config, nullptr) << "the test run gives a private XDG_CONFIG_HOME";
    EXPECT_EQ(UserDefaults::standard()->file(), std::filesystem::path(config) / "dictaro" / "settings.json");
}

TEST(UserDefaults, AnUnreadableFileIsSetAsideNotOverwritten) {
    testsupport::TempDirectory temporary;
    const auto file = temporary.path() / "settings.json";
    for (const std::string& damaged : {std::string("{\"Flag\": tru"), std::string("[1, 2]")}) {
        SCOPED_TRACE(damaged);
        std::filesystem::remove(std::filesystem::path(file) += ".unreadable");
        std::ofstream(file) << damaged;
        UserDefaults defaults(file);
        EXPECT_EQ(defaults.object("Flag"), std::nullopt);
        defaults.set("Flag", JSONNumber::boolean(true));
        EXPECT_EQ(contentsOf(std::filesystem::path(file) += ".unreadable"), damaged);
        EXPECT_EQ(UserDefaults(file).boolean("Flag"), true);
    }
}

TEST(UserDefaults, FailsLoudlyWhenItCannotWrite) {
    testsupport::TempDirectory temporary;
    const auto blocker = temporary.path() / "file";
    std::ofstream(blocker) << "x";
    UserDefaults defaults(blocker / "settings.json");
    EXPECT_THROW(defaults.set("Flag", JSONNumber::boolean(true)), std::filesystem::filesystem_error);
    EXPECT_EQ(defaults.object("Flag"), std::nullopt);
}

// A writer killed at any moment leaves the file whole: either the settings
// before its last change or after it.
TEST(UserDefaults, SurvivesAWriterKilledMidWrite) {
    testsupport::TempDirectory temporary;
    const auto file = temporary.path() / "settings.json";
    const std::string padding(256 * 1024, 'p');
    UserDefaults(file).set({{"Counter", JSONNumber::signedInteger(0)}, {"Padding", padding}});

    std::mt19937 random(7);
    for (int round = 0; round < 12; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            UserDefaults defaults(file);
            for (std::int64_t counter = 1;; ++counter) defaults.set("Counter", JSONNumber::signedInteger(counter));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 40));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);

        EXPECT_NO_THROW(jsonObject(contentsOf(file))) << "round " << round;
        UserDefaults survivor(file);
        ASSERT_TRUE(survivor.object("Counter").has_value()) << "round " << round;
        EXPECT_EQ(survivor.string("Padding"), padding);
    }
}

TEST(NotificationCenter, CallsTheObserversOfANameUntilTheirRegistrationGoes) {
    NotificationCenter center;
    int formatting = 0;
    int other = 0;
    NotificationCenter::Registration first = center.addObserver("DictaroFormattingConfigDidChange", [&] { ++formatting; });
    {
        NotificationCenter::Registration second = center.addObserver("DictaroFormattingConfigDidChange", [&] { ++formatting; });
        NotificationCenter::Registration third = center.addObserver("Other", [&] { ++other; });
        center.post("DictaroFormattingConfigDidChange");
    }
    center.post("DictaroFormattingConfigDidChange");
    center.post("Other");
    EXPECT_EQ(formatting, 3);
    EXPECT_EQ(other, 0);
}

}  // namespace
}  // namespace platform
