#pragma once

#include <xcb/xcb.h>

namespace platform::clipboard {

// The toolkit's own X connection, absent before the application exists or
// off X.
xcb_connection_t* toolkitConnection();

xcb_atom_t internAtom(xcb_connection_t* connection, const char* name);

// The window that owns the selection named `name` now, as the X server
// sees it; none when nobody does or there is no connection.
xcb_window_t selectionOwner(const char* name);

}  // namespace platform::clipboard
