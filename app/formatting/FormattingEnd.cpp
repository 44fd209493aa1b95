#include "app/formatting/FormattingEnd.h"

namespace dictaro {

std::string FormattingEnd::description() const {
    switch (kind) {
        case Kind::complete: return "complete";
        case Kind::noEndMarker: return "the answer ended before the provider finished it";
        case Kind::lengthLimit: return "the answer reached its length limit";
        case Kind::providerError: return "the provider reported an error: " + detail;
        case Kind::failed: return "failed: " + detail;
        case Kind::cancelled: break;
    }
    return "cancelled";
}

}  // namespace dictaro
