#include "app/dictation/AtspiAccessibilityReader.h"

#include "platform/accessibility/Accessibility.h"

namespace dictaro {
namespace {

// The field's texts under the attribute names the context probe asks for.
class AtspiFocusedElement final : public FocusedElement {
public:
    explicit AtspiFocusedElement(platform::accessibility::FocusedElementText texts) : texts_(std::move(texts)) {}

    std::optional<std::string> stringAttribute(std::string_view name) const override {
        if (name == "AXPlaceholderValue") return texts_.placeholder;
        if (name == "AXDescription") return texts_.description;
        if (name == "AXTitle") return texts_.title;
        return std::nullopt;
    }

private:
    platform::accessibility::FocusedElementText texts_;
};

}  // namespace

bool AtspiAccessibilityReader::isProcessTrusted() const {
    return platform::accessibility::isProcessTrusted();
}

std::unique_ptr<FocusedElement> AtspiAccessibilityReader::focusedElement(int processIdentifier) const {
    auto texts = platform::accessibility::focusedElement(processIdentifier);
    if (!texts) return nullptr;
    return std::make_unique<AtspiFocusedElement>(std::move(*texts));
}

}  // namespace dictaro
