#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string_view>

namespace dictaro {

// The toolkit's own connection to the X server; none when it draws elsewhere.
xcb_connection_t* toolkitXcbConnection();

// XCB_ATOM_NONE when the server does not answer.
xcb_atom_t internAtom(xcb_connection_t* connection, std::string_view name);

struct FreeXcbReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <class Reply>
using XcbReply = std::unique_ptr<Reply, FreeXcbReply>;

}  // namespace dictaro
