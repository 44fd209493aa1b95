#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace dictaro {

// The colours a line of the formatting settings can take; the widgets map
// them onto the theme and the desktop's signal colours.
enum class StatusTone { paper, muted, green, red, orange };

struct StatusText {
    std::string text;
    StatusTone tone = StatusTone::muted;
    friend bool operator==(const StatusText&, const StatusText&) = default;
};

// What the "Ollama setup" block shows.
struct OllamaBlockState {
    StatusText daemonStatus;
    std::string daemonButtonTitle;
    bool daemonButtonVisible = false;
    StatusText modelStatus;
    std::string modelButtonTitle;
    bool modelButtonVisible = false;
    bool pullBarVisible = false;
    bool pullBarIndeterminate = false;
    double pullBarValue = 0;
    StatusText pullStatus;
    bool pullStatusVisible = false;
    friend bool operator==(const OllamaBlockState&, const OllamaBlockState&) = default;
};

// Everything the formatting settings section shows, for its widgets to copy.
struct FormattingSectionState {
    bool enabled = false;
    std::size_t providerIndex = 0;
    std::vector<std::string> modelItems;
    std::string modelText;
    std::string apiKeyText;
    std::string hostText;
    bool apiKeyRowVisible = false;
    bool hostRowVisible = false;
    bool ollamaSectionVisible = false;
    bool getKeyButtonVisible = false;
    std::string getKeyTitle;
    std::string getKeyToolTip;
    // The provider, model, key and host controls; the switch stays enabled.
    bool controlsEnabled = false;
    StatusText status;
    OllamaBlockState ollama;
    friend bool operator==(const FormattingSectionState&, const FormattingSectionState&) = default;
};

}  // namespace dictaro
