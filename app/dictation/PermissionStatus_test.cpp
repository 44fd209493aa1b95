#include "app/dictation/PermissionStatus.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/process/ChildProcess.h"
#include "tests/support/TempDirectory.h"

namespace dictaro {
namespace {

// A program whose path and arguments a shell would take apart or run: each
// must arrive as written, and nothing of it may be executed.
TEST(PermissionStatus, RelaunchPassesPathAndArgumentsThroughUntouched) {
    testsupport::TempDirectory folder;
    const std::filesystem::path dir = folder.path() / "My Apps $(touch injected) \"quoted\"";
    std::filesystem::create_directories(dir);
    const std::filesystem::path program = dir / "dictaro it's";
    const std::filesystem::path received = folder.path() / "received";
    {
        std::ofstream script(program);
        script << "#!/bin/sh\nfor a in \"$0\" \"$@\"; do printf '%s\\n' \"$a\"; done > '" << received.string() << "'\n";
    }
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    const std::vector<std::string> arguments{"--flag", "two words", "; touch injected2", ""};

    ASSERT_EQ(platform::ChildProcess::run(PermissionStatus::relaunchCommand(program.string(), arguments)), 0);

    std::ifstream in(received);
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_EQ(got.str(), program.string() + "\n--flag\ntwo words\n; touch injected2\n\n");
    EXPECT_FALSE(std::filesystem::exists("injected"));
    EXPECT_FALSE(std::filesystem::exists("injected2"));
}

}  // namespace
}  // namespace dictaro
