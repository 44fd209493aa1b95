#include "app/ui/OwnWindow.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QWidget>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/dictation/AppIdentity.h"

namespace dictaro {
namespace {

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};

xcb_atom_t atom(xcb_connection_t* connection, const std::string& name) {
    const std::unique_ptr<xcb_intern_atom_reply_t, FreeReply> reply(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(name.size()), name.data()), nullptr));
    if (!reply) return XCB_ATOM_NONE;
    return reply->atom;
}

}  // namespace

void markAsOurs(QWidget& window) {
    if (!qGuiApp || QGuiApplication::platformName() != "xcb") return;
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection) return;
    const xcb_atom_t property = atom(connection, "_GTK_APPLICATION_ID");
    const xcb_atom_t utf8 = atom(connection, "UTF8_STRING");
    if (property == XCB_ATOM_NONE || utf8 == XCB_ATOM_NONE) return;
    const std::string_view id = applicationIdentifier;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, static_cast<xcb_window_t>(window.winId()), property, utf8,
                        8, static_cast<uint32_t>(id.size()), id.data());
    xcb_flush(connection);
}

}  // namespace dictaro
