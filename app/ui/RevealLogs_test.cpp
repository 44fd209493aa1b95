#include "app/ui/StatusBarController.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "app/dictation/Log.h"
#include "platform/foundation/URL.h"

namespace dictaro {
namespace {

namespace fs = std::filesystem;

constexpr const char* introspection = R"(<node>
  <interface name="org.freedesktop.FileManager1">
    <method name="ShowItems"><arg type="as" direction="in"/><arg type="s" direction="in"/></method>
  </interface>
</node>)";

// Owns the file manager's name on the session bus on a connection of its
// own and answers ShowItems on a thread of its own; one that holds its
// answers keeps each call waiting until release().
class FakeFileManager {
public:
    explicit FakeFileManager(bool holdsAnswers = false) : holdsAnswers_(holdsAnswers) {

        GError* error = nullptr;
        gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        if (!address) throw std::runtime_error(error->message);
        connection_ = g_dbus_connection_new_for_address_sync(
            address,
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        g_free(address);
        if (!connection_) throw std::runtime_error(error->message);
        GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(introspection, nullptr);
        static const GDBusInterfaceVTable vtable = {&FakeFileManager::methodCall, nullptr, nullptr, {}};
        g_main_context_push_thread_default(context_);
        registration_ = g_dbus_connection_register_object(connection_, "/org/freedesktop/FileManager1",
                                                          node->interfaces[0], &vtable, this, nullptr, nullptr);
        g_main_context_pop_thread_default(context_);
        g_dbus_node_info_unref(node);
        // Without queueing, so a name still held elsewhere fails the test.
        const guint32 reply = busCall("RequestName", g_variant_new("(su)", "org.freedesktop.FileManager1", 4u));
        if (reply != 1) throw std::runtime_error("could not own org.freedesktop.FileManager1");
        loop_ = g_main_loop_new(context_, FALSE);
        thread_ = std::thread([this] { g_main_loop_run(loop_); });
    }

    ~FakeFileManager() {
        release();
        // Released by a call, so the bus has let go of the name before the
        // next case asks for it.
        busCall("ReleaseName", g_variant_new("(s)", "org.freedesktop.FileManager1"));
        // Quit from inside the loop: a quit from here could come before the
        // thread has started the loop, which would then run for ever.
        GSource* quit = g_idle_source_new();
        g_source_set_callback(
            quit,
            [](gpointer loop) {
                g_main_loop_quit(static_cast<GMainLoop*>(loop));
                return gboolean(G_SOURCE_REMOVE);
            },
            loop_, nullptr);
        g_source_attach(quit, context_);
        g_source_unref(quit);
        thread_.join();
        g_dbus_connection_unregister_object(connection_, registration_);
        g_dbus_connection_close_sync(connection_, nullptr, nullptr);
        g_object_unref(connection_);
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }

    std::vector<std::vector<std::string>> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

    // Answers the calls held so far.
    void release() {
        std::lock_guard lock(mutex_);
        for (GDBusMethodInvocation* invocation : held_) g_dbus_method_invocation_return_value(invocation, nullptr);
        held_.clear();
    }

private:
    guint32 busCall(const char* method, GVariant* arguments) {
        GVariant* reply =
            g_dbus_connection_call_sync(connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                        "org.freedesktop.DBus", method, arguments, G_VARIANT_TYPE("(u)"),
                                        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
        if (!reply) return 0;
        guint32 value = 0;
        g_variant_get(reply, "(u)", &value);
        g_variant_unref(reply);
        return value;
    }

    static void methodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                           GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self) {
        GVariantIter* uris = nullptr;
        const gchar* startupId = nullptr;
        g_variant_get(parameters, "(as&s)", &uris, &startupId);
        std::vector<std::string> call;
        const gchar* uri = nullptr;
        while (g_variant_iter_next(uris, "&s", &uri)) call.emplace_back(uri);
        g_variant_iter_free(uris);
        auto* manager = static_cast<FakeFileManager*>(self);
        std::lock_guard lock(manager->mutex_);
        manager->calls_.push_back(call);
        if (manager->holdsAnswers_) {
            manager->held_.push_back(invocation);
        } else {
            g_dbus_method_invocation_return_value(invocation, nullptr);
        }
    }

    GMainContext* context_ = g_main_context_new();
    GDBusConnection* connection_ = nullptr;
    guint registration_ = 0;
    GMainLoop* loop_ = nullptr;
    std::thread thread_;
    bool holdsAnswers_;
    std::mutex mutex_;
    std::vector<std::vector<std::string>> calls_;
    std::vector<GDBusMethodInvocation*> held_;
};

// Polls `done` for up to 20 s.
template <class Predicate>
bool waitFor(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::vector<std::string> lines(const fs::path& file) {
    std::vector<std::string> read;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) read.push_back(line);
    return read;
}

// The fallback opens through xdg-open, which this test puts first on PATH as
// a script that notes what it was asked to open.
TEST(RevealLogs, SelectsTheLogInTheFileManagerElseOpensItsFolder) {
    const fs::path root = fs::temp_directory_path() / ("dictaro-reveal-" + std::to_string(::getpid()));
    fs::remove_all(root);
    const fs::path bin = root / "bin";
    const fs::path opened = root / "opened";
    fs::create_directories(bin);
    std::ofstream(bin / "xdg-open") << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << opened.string() << "'\n";
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    ::setenv("PATH", (bin.string() + ":" + std::getenv("PATH")).c_str(), 1);
    ::setenv("XDG_STATE_HOME", (root / "state").c_str(), 1);
    const fs::path log = Log::fileURL();
    ASSERT_EQ(log.parent_path().parent_path(), root / "state");
    const std::string logUri = platform::URL::fileURLWithPath(log.string(), false).absoluteString();

    StatusBarController controller;
    controller.setup();
    QAction* reveal = nullptr;
    for (QAction* action : controller.menu()->actions()) {
        if (action->text().startsWith("Reveal Logs in ")) reveal = action;
    }
    ASSERT_NE(reveal, nullptr);

    struct Case {
        std::string name;
        bool logExists;
        bool fileManagerRuns;
        bool answersLate;  // the menu must not wait for it
        std::vector<std::vector<std::string>> shown;
        bool opensFolder;
    };
    // A case that opens the folder comes last, so the openings noted by then
    // prove no earlier case opened anything it should not have.
    const std::vector<Case> cases = {
        {"file manager selects the log", true, true, false, {{logUri}}, false},
        {"a file manager that is slow to answer", true, true, true, {{logUri}}, false},
        {"no log yet: its folder opens", false, true, false, {}, true},
        {"no file manager: the log's folder opens", true, false, false, {}, true},
    };
    std::vector<std::string> expectedOpenings;
    for (const Case& entry : cases) {
        SCOPED_TRACE(entry.name);
        if (entry.logExists) {
            std::ofstream(log) << "a line\n";
        } else {
            fs::remove(log);
        }
        std::optional<FakeFileManager> fileManager;
        if (entry.fileManagerRuns) fileManager.emplace(entry.answersLate);
        reveal->trigger();
        // The menu is back before the file manager has answered.
        if (fileManager && !entry.shown.empty()) {
            EXPECT_TRUE(waitFor([&] { return fileManager->calls() == entry.shown; })) << "no ShowItems call";
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            fileManager->release();
        }
        if (entry.opensFolder) expectedOpenings.push_back(log.parent_path().string());
        // xdg-open runs detached: wait until it has noted its opening.
        waitFor([&] { return lines(opened).size() >= expectedOpenings.size(); });
        if (fileManager) {
            EXPECT_EQ(fileManager->calls(), entry.shown);
        }
        EXPECT_EQ(lines(opened), expectedOpenings);
    }
    // The failure that sent the last case to the folder is in the log, with the bus's reason.
    Log::waitUntilWritten();
    const std::vector<std::string> logged = lines(log);
    ASSERT_FALSE(logged.empty());
    EXPECT_NE(logged.back().find("ERROR [app] the file manager did not show the log: "), std::string::npos)
        << logged.back();
    EXPECT_NE(logged.back().find("org.freedesktop.FileManager1"), std::string::npos) << logged.back();
    fs::remove_all(root);
}

}  // namespace
}  // namespace dictaro
