#include "platform/text/CaseMapping.h"

#include "platform/text/Utf.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <stdexcept>

namespace platform::text {
namespace {

void appendLowercaseMapping(std::string& out, char32_t scalar) {
    if (scalar < 0x80) {
        out.push_back(static_cast<char>(scalar >= 'A' && scalar <= 'Z' ? scalar + ('a' - 'A') : scalar));
        return;
    }
    UChar source[U16_MAX_LENGTH];
    int32_t sourceLength = 0;
    UBool error = false;
    U16_APPEND(source, sourceLength, U16_MAX_LENGTH, static_cast<UChar32>(scalar), error);
    if (error) {
        appendUtf8(out, scalar);
        return;
    }
    // A lone scalar has no neighbours, so the context-sensitive rules of the
    // string API never fire and the result is the scalar's own full mapping.
    UChar mapped[8];
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = u_strToLower(mapped, 8, source, sourceLength, "", &status);
    if (U_FAILURE(status)) throw std::runtime_error(u_errorName(status));
    out += toUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(mapped), static_cast<std::size_t>(length)));
}

} // namespace

std::string lowercaseMapping(char32_t scalar) {
    std::string out;
    appendLowercaseMapping(out, scalar);
    return out;
}

std::string lowercased(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (char32_t scalar : toScalars(utf8)) appendLowercaseMapping(out, scalar);
    return out;
}

} // namespace platform::text
