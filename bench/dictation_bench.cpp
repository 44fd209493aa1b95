// How long the desktop side of a dictation takes, under the X session of
// scripts/services (run it through scripts/with-services): a hot-key press
// until its handler runs, and a finished text until it stands in the target
// window. Each is the median of several rounds, next to the time of the
// xdotool run that presses the key, which both include.
#include <QGuiApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <vector>

#include "app/dictation/AppIdentity.h"
#include "app/dictation/HotkeyManager.h"
#include "app/dictation/Paster.h"
#include "platform/clipboard/Pasteboard.h"
#include "platform/process/ChildProcess.h"
#include "platform/x11/SyntheticKeys.h"
#include "platform/x11/Workspace.h"
#include "tests/desktop/DesktopSession.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int rounds = 15;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication application(argc, argv);
    desktoptest::TargetWindow target(desktoptest::TargetWindow::Options{});
    if (!target.waitUntilActive()) {
        std::fprintf(stderr, "dictation_bench: the target window did not come up (is the X session running?)\n");
        return 1;
    }

    std::vector<double> xdotoolRuns;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        platform::ChildProcess::run({"xdotool", "key", "shift"});
        xdotoolRuns.push_back(millisecondsSince(start));
    }

    std::vector<double> hotkeyRuns;
    {
        int presses = 0;
        dictaro::HotkeyManager manager;
        manager.registerAction(dictaro::HotkeyManager::Action::toggle, [&] { ++presses; });
        for (int i = 0; i < rounds; ++i) {
            const auto start = Clock::now();
            // The next round waits for this xdotool's releases: a press
            // before them would be a repeat.
            auto pressing = std::async(std::launch::async,
                                       [] { platform::ChildProcess::run({"xdotool", "key", "super+alt+m"}); });
            desktoptest::waitUntil([&] { return presses == i + 1; });
            hotkeyRuns.push_back(millisecondsSince(start));
            pressing.wait();
        }
    }

    platform::clipboard::Pasteboard pasteboard;
    platform::x11::Workspace workspace;
    platform::x11::SyntheticKeys keys;
    dictaro::Paster paster({pasteboard, workspace, keys, [] { return true; }});
    const auto captured = workspace.frontmostApplication();
    std::vector<double> pasteRuns;
    std::string expected;
    for (int i = 0; i < rounds; ++i) {
        const std::string text = "Round " + std::to_string(i) + " of the paste.";
        expected += text;
        const auto start = Clock::now();
        desktoptest::whileServing([&] { return paster.paste(text, captured); });
        desktoptest::waitUntil([&] { return target.text() == expected; });
        pasteRuns.push_back(millisecondsSince(start));
    }
    const bool allArrived = target.text() == expected;

    std::printf("xdotool_run_ms: %.1f\n", median(xdotoolRuns));
    std::printf("hotkey_press_to_handler_ms: %.1f\n", median(hotkeyRuns));
    std::printf("paste_to_text_ms: %.1f\n", median(pasteRuns));
    std::printf("paste_fixed_waits_ms: %lld\n",
                static_cast<long long>((dictaro::Paster::settleBeforeKeystroke + dictaro::Paster::afterFetch).count()));
    std::printf("paste_all_arrived: %d\n", allArrived ? 1 : 0);
    return allArrived ? 0 : 1;
}
