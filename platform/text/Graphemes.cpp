#include "platform/text/Graphemes.h"

#include "platform/text/Normalization.h"

#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace platform::text {
namespace {

struct BreakIteratorCloser {
    void operator()(UBreakIterator* iterator) const { ubrk_close(iterator); }
};

// Opening a break iterator loads rule data; one per thread is reused.
UBreakIterator& characterBreakIterator() {
    thread_local std::unique_ptr<UBreakIterator, BreakIteratorCloser> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        UBreakIterator* opened = ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status);
        if (U_FAILURE(status)) throw std::runtime_error(u_errorName(status));
        return std::unique_ptr<UBreakIterator, BreakIteratorCloser>(opened);
    }();
    return *iterator;
}

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Runs `use` with the thread's iterator set over the UTF-8 text, so that
// boundaries are byte offsets into it.
template <typename Use>
void withIterator(std::string_view utf8, Use use) {
    UErrorCode status = U_ZERO_ERROR;
    UText text = UTEXT_INITIALIZER;
    utext_openUTF8(&text, utf8.data(), static_cast<int64_t>(utf8.size()), &status);
    if (U_FAILURE(status)) throw std::runtime_error(u_errorName(status));
    UBreakIterator& iterator = characterBreakIterator();
    ubrk_setUText(&iterator, &text, &status);
    if (U_FAILURE(status)) {
        utext_close(&text);
        throw std::runtime_error(u_errorName(status));
    }
    use(iterator);
    utext_close(&text);
}

template <typename Visit>
void forEachBoundary(std::string_view utf8, Visit visit) {
    withIterator(utf8, [&](UBreakIterator& iterator) {
        int32_t start = ubrk_first(&iterator);
        for (int32_t end = ubrk_next(&iterator); end != UBRK_DONE; end = ubrk_next(&iterator)) {
            visit(static_cast<std::size_t>(start), static_cast<std::size_t>(end));
            start = end;
        }
    });
}

} // namespace

std::vector<std::string_view> graphemeClusters(std::string_view utf8) {
    std::vector<std::string_view> clusters;
    if (isAscii(utf8)) {
        clusters.reserve(utf8.size());
        for (std::size_t i = 0; i < utf8.size(); ++i) {
            const bool crlf = utf8[i] == '\r' && i + 1 < utf8.size() && utf8[i + 1] == '\n';
            clusters.push_back(utf8.substr(i, crlf ? 2 : 1));
            if (crlf) ++i;
        }
        return clusters;
    }
    forEachBoundary(utf8, [&](std::size_t start, std::size_t end) { clusters.push_back(utf8.substr(start, end - start)); });
    return clusters;
}

std::size_t graphemeCount(std::string_view utf8) {
    if (isAscii(utf8)) {
        std::size_t count = utf8.size();
        for (std::size_t i = 0; i + 1 < utf8.size(); ++i) {
            if (utf8[i] == '\r' && utf8[i + 1] == '\n') --count;
        }
        return count;
    }
    std::size_t count = 0;
    forEachBoundary(utf8, [&](std::size_t, std::size_t) { ++count; });
    return count;
}

std::string_view lastGraphemeCluster(std::string_view utf8) {
    if (utf8.empty()) return {};
    std::size_t lastStart = 0;
    // Walking backwards from the end lets the iterator look only at the
    // tail, however long the text is.
    withIterator(utf8, [&](UBreakIterator& iterator) {
        ubrk_last(&iterator);
        lastStart = static_cast<std::size_t>(ubrk_previous(&iterator));
    });
    return utf8.substr(lastStart);
}

bool charactersEqual(std::string_view a, std::string_view b) {
    if (a == b) return true;
    if (isAscii(a) && isAscii(b)) return false;
    return normalized(a, NormalizationForm::D) == normalized(b, NormalizationForm::D);
}

} // namespace platform::text
