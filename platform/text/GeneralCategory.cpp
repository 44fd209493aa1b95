#include "platform/text/GeneralCategory.h"

#include <unicode/uchar.h>

namespace platform::text {

bool isNonspacingMark(char32_t scalar) {
    return u_charType(static_cast<UChar32>(scalar)) == U_NON_SPACING_MARK;
}

bool isOtherCategory(char32_t scalar) {
    constexpr uint32_t other = U_GC_CC_MASK | U_GC_CF_MASK | U_GC_CS_MASK | U_GC_CO_MASK | U_GC_CN_MASK;
    return (U_GET_GC_MASK(static_cast<UChar32>(scalar)) & other) != 0;
}

} // namespace platform::text
