#include "platform/text/Normalization.h"

#include "platform/text/GeneralCategory.h"
#include "platform/text/Utf.h"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/utf8.h>

#include <stdexcept>

namespace platform::text {
namespace {

const icu::Normalizer2& normalizer(NormalizationForm form) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* instance = nullptr;
    switch (form) {
    case NormalizationForm::C: instance = icu::Normalizer2::getNFCInstance(status); break;
    case NormalizationForm::D: instance = icu::Normalizer2::getNFDInstance(status); break;
    case NormalizationForm::KC: instance = icu::Normalizer2::getNFKCInstance(status); break;
    case NormalizationForm::KD: instance = icu::Normalizer2::getNFKDInstance(status); break;
    }
    if (U_FAILURE(status) || instance == nullptr) {
        throw std::runtime_error(std::string("Unicode normalization data is unavailable: ") + u_errorName(status));
    }
    return *instance;
}

std::string normalizeWellFormed(std::string_view utf8, const icu::Normalizer2& with) {
    std::string result;
    result.reserve(utf8.size());
    icu::StringByteSink<std::string> sink(&result);
    UErrorCode status = U_ZERO_ERROR;
    with.normalizeUTF8(0, icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())), sink, nullptr, status);
    if (U_FAILURE(status)) throw std::runtime_error(std::string("Unicode normalization failed: ") + u_errorName(status));
    return result;
}

} // namespace

std::string normalized(std::string_view utf8, NormalizationForm form) {
    const std::string repaired = repairUtf8(utf8);
    return normalizeWellFormed(repaired, normalizer(form));
}

std::string foldingDiacritics(std::string_view utf8) {
    const std::string decomposed = normalized(utf8, NormalizationForm::D);
    std::string kept;
    kept.reserve(decomposed.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(decomposed.data());
    const auto length = static_cast<int32_t>(decomposed.size());
    int32_t i = 0;
    while (i < length) {
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (isNonspacingMark(static_cast<char32_t>(c))) continue;
        kept.append(decomposed, static_cast<std::size_t>(start), static_cast<std::size_t>(i - start));
    }
    return normalizeWellFormed(kept, normalizer(NormalizationForm::C));
}

} // namespace platform::text
