#include "platform/settings/UserDefaults.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "platform/foundation/JsonReader.h"
#include "platform/settings/NotificationCenter.h"
#include "tests/support/LogLines.h"
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

// The copies set aside so far, by content.
std::multiset<std::string> setAsideContents(const std::filesystem::path& folder) {
    static const std::regex kCopyName(R"(settings\.json\.unreadable-\d{8}-\d{6}(-\d+)?)");
    std::multiset<std::string> contents;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name == "settings.json") continue;
        EXPECT_TRUE(std::regex_match(name, kCopyName)) << name;
        contents.insert(contentsOf(entry.path()));
    }
    return contents;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// The copies that no line of the log names.
std::vector<std::string> copiesTheLogLeavesOut(const std::string& log, const std::filesystem::path& folder) {
    std::vector<std::string> missing;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string path = entry.path().string();
        if (entry.path().filename() != "settings.json" && log.find(path) == std::string::npos) missing.push_back(path);
    }
    return missing;
}

// Runs `body` in a child process whose file permissions apply: root reads
// any file, so a root test process hands `folder` to the user "nobody" and
// becomes that user first. Returns the child's exit status and what `body`
// put into its output.
std::pair<int, std::string> asUserThePermissionsApplyTo(const std::filesystem::path& folder,
                                                        const std::function<int(std::string& output)>& body) {
    constexpr uid_t kNobody = 65534;
    const bool root = ::geteuid() == 0;
    if (root) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
            EXPECT_EQ(::lchown(entry.path().c_str(), kNobody, kNobody), 0);
        }
        EXPECT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0);
    }
    int channel[2];
    EXPECT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        if (root && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(90);
        std::string output;
        const int status = body(output);
        if (::write(channel[1], output.data(), output.size()) != static_cast<ssize_t>(output.size())) ::_exit(91);
        ::_exit(status);
    }
    ::close(channel[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t count; (count = ::read(channel[0], buffer, sizeof buffer)) > 0;) output.append(buffer, count);
    ::close(channel[0]);
    int status = -1;
    ::waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// Whatever the user had in a settings file that cannot be read stays on
// disk, each time under a name of its own, and the log says where.
TEST(UserDefaults, AnUnreadableFileIsSetAsideNotOverwritten) {
    testsupport::TempDirectory temporary;
    const auto folder = temporary.path();
    const auto file = folder / "settings.json";
    std::multiset<std::string> originals;
    const auto log = testsupport::LogLines::install();
    for (const std::string& damaged : {std::string("{\"Flag\": tru"), std::string("[1, 2]")}) {
        SCOPED_TRACE(damaged);
        std::ofstream(file) << damaged;
        originals.insert(damaged);
        UserDefaults defaults(file);
        EXPECT_EQ(defaults.object("Flag"), std::nullopt);
        defaults.set("Flag", JSONNumber::boolean(true));
        EXPECT_EQ(setAsideContents(folder), originals);
        EXPECT_EQ(UserDefaults(file).boolean("Flag"), true);
    }
    log->uninstall();
    const std::string parentLog = joined(log->texts());
    EXPECT_EQ(copiesTheLogLeavesOut(parentLog, folder), std::vector<std::string>{}) << parentLog;

    const std::string locked = "{\"Flag\": false, \"Edited\": \"by hand\"}";
    std::ofstream(file) << locked;
    std::filesystem::permissions(file, std::filesystem::perms::none);
    originals.insert(locked);
    const auto [status, lines] = asUserThePermissionsApplyTo(folder, [&](std::string& output) {
        if (std::ifstream(file)) return 2;  // the read must really be denied
        const auto childLog = testsupport::LogLines::install();
        UserDefaults defaults(file);
        if (defaults.object("Flag")) return 3;
        try {
            defaults.set("Flag", JSONNumber::boolean(true));
        } catch (const std::exception& error) {
            output = error.what();
            return 4;
        }
        output = joined(childLog->texts());
        return 0;
    });
    ASSERT_EQ(status, 0) << lines;
    EXPECT_EQ(setAsideContents(folder), originals);
    EXPECT_EQ(UserDefaults(file).boolean("Flag"), true);
    EXPECT_EQ(copiesTheLogLeavesOut(parentLog + lines, folder), std::vector<std::string>{}) << lines;
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
