#pragma once

namespace dictaro {

// From now on every top-level window of this application carries our
// application id, where the desktop looks for it first, from the moment it
// exists: the setup window, the panel, the alerts, the tray icon and its
// menu alike. So the focus tracker never takes a window of ours for the
// application the user dictates into. Windows that exist already are marked
// at once. Each window class of ours calls it; calls after the first do
// nothing.
void markEveryWindowAsOurs();

}  // namespace dictaro
