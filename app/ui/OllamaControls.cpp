#include "app/ui/OllamaControls.h"

#include <algorithm>
#include <cstdio>

namespace dictaro::ollama_controls {

namespace {

constexpr const char* kReady = "\u2705  ";
constexpr const char* kWarning = "\u26A0\uFE0F  ";

std::string printed(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

bool isModelInstalled(const std::vector<std::string>& installedNames, const std::string& model) {
    return std::any_of(installedNames.begin(), installedNames.end(), [&](const std::string& name) {
        return name == model || (name.size() > model.size() && name.starts_with(model) && name[model.size()] == ':');
    });
}

std::string formatBytes(std::int64_t bytes) {
    const double megabytes = static_cast<double>(bytes) / 1'000'000;
    if (megabytes >= 1000) return printed("%.1f GB", megabytes / 1000);
    return printed("%.0f MB", megabytes);
}

void showHealth(OllamaBlockState& block, const OllamaSetup::Health& health, const std::string& model,
                const std::string& host, bool ollamaInstalled, bool pulling) {
    if (!health.isRunning()) {
        block.daemonStatus = {std::string(kWarning) + "Ollama isn't responding at " + host, StatusTone::orange};
        block.daemonButtonTitle = ollamaInstalled ? "Open Ollama" : "Install Ollama";
        block.daemonButtonVisible = true;
        block.modelStatus = {"Model: waiting for daemon\u2026", StatusTone::muted};
        block.modelButtonVisible = false;
        return;
    }
    block.daemonStatus = {std::string(kReady) + "Ollama is running", StatusTone::green};
    block.daemonButtonVisible = false;
    if (isModelInstalled(*health.installedModels, model)) {
        block.modelStatus = {std::string(kReady) + model + " is installed and ready", StatusTone::green};
        block.modelButtonVisible = false;
    } else {
        block.modelStatus = {std::string(kWarning) + model + " not installed yet", StatusTone::orange};
        block.modelButtonTitle = "Download " + model;
        block.modelButtonVisible = !pulling;
    }
}

void showPullStarted(OllamaBlockState& block) {
    block.pullBarVisible = true;
    block.pullBarValue = 0;
    block.pullBarIndeterminate = true;
    block.pullStatus = {"Starting\u2026", StatusTone::muted};
    block.pullStatusVisible = true;
    block.modelButtonVisible = false;
}

void showPullProgress(OllamaBlockState& block, const OllamaSetup::PullProgress& progress) {
    if (!progress.completed || !progress.total) {
        block.pullStatus.text = progress.status;
        return;
    }
    if (*progress.total >= 1) {
        block.pullBarValue = static_cast<double>(*progress.completed) / static_cast<double>(*progress.total);
        block.pullBarIndeterminate = false;
    }
    block.pullStatus.text =
        progress.status + " \u2014 " + formatBytes(*progress.completed) + " / " + formatBytes(*progress.total);
}

void showPullSucceeded(OllamaBlockState& block, const std::string& model) {
    block.pullBarVisible = false;
    block.pullStatus = {std::string(kReady) + model + " installed", StatusTone::green};
    block.pullStatusVisible = true;
}

void showPullFailed(OllamaBlockState& block, const std::string& reason) {
    block.pullBarVisible = false;
    block.pullStatus = {"\u2717 " + reason, StatusTone::red};
    block.pullStatusVisible = true;
}

}  // namespace dictaro::ollama_controls
