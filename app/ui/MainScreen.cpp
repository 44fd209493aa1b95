#include "app/ui/MainScreen.h"

#include <QCursor>
#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <optional>

#include "app/ui/XcbConnection.h"

namespace dictaro {
namespace {

// Where the window manager's active window is, in root coordinates.
std::optional<QRect> focusedWindowFrame() {
    xcb_connection_t* connection = toolkitXcbConnection();
    if (!connection) return std::nullopt;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const xcb_atom_t active = internAtom(connection, "_NET_ACTIVE_WINDOW");
    if (active == XCB_ATOM_NONE) return std::nullopt;
    const XcbReply<xcb_get_property_reply_t> property(xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, root, active, XCB_ATOM_WINDOW, 0, 1), nullptr));
    if (!property || xcb_get_property_value_length(property.get()) < static_cast<int>(sizeof(xcb_window_t))) {
        return std::nullopt;
    }
    const xcb_window_t window = *static_cast<const xcb_window_t*>(xcb_get_property_value(property.get()));
    if (window == XCB_WINDOW_NONE) return std::nullopt;
    const XcbReply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, window), nullptr));
    const XcbReply<xcb_translate_coordinates_reply_t> origin(xcb_translate_coordinates_reply(
        connection, xcb_translate_coordinates(connection, window, root, 0, 0), nullptr));
    if (!geometry || !origin) return std::nullopt;
    return QRect(origin->dst_x, origin->dst_y, geometry->width, geometry->height);
}

QScreen* screenHoldingMostOf(const QRect& frame) {
    QScreen* best = nullptr;
    long bestArea = 0;
    for (QScreen* screen : QGuiApplication::screens()) {
        const QRect shared = screen->geometry().intersected(frame);
        const long area = static_cast<long>(shared.width()) * shared.height();
        if (area > bestArea) {
            best = screen;
            bestArea = area;
        }
    }
    return best;
}

}  // namespace

QScreen* mainScreen() {
    if (const auto focused = focusedWindowFrame()) {
        if (QScreen* screen = screenHoldingMostOf(*focused)) return screen;
    }
    if (QScreen* screen = QGuiApplication::screenAt(QCursor::pos())) return screen;
    return QGuiApplication::primaryScreen();
}

}  // namespace dictaro
