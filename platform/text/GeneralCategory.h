#pragma once

namespace platform::text {

// General category Mn: the combining marks that take no width of their own,
// such as the acute accent of a decomposed "é".
bool isNonspacingMark(char32_t scalar);

// General category C: control, format, surrogate, private use and unassigned.
bool isOtherCategory(char32_t scalar);

} // namespace platform::text
