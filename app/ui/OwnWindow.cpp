#include "app/ui/OwnWindow.h"

#include <QGuiApplication>
#include <QPlatformSurfaceEvent>
#include <QPointer>
#include <QWindow>
#include <string_view>

#include "app/dictation/AppIdentity.h"
#include "app/ui/XcbConnection.h"

namespace dictaro {
namespace {

// Watches every window of the application come into being on the X server.
class WindowMarker final : public QObject {
public:
    WindowMarker(QObject* parent, xcb_connection_t* connection)
        : QObject(parent),
          connection_(connection),
          property_(internAtom(connection, "_GTK_APPLICATION_ID")),
          utf8_(internAtom(connection, "UTF8_STRING")) {}

    void mark(QWindow& window) const {
        if (!window.isTopLevel() || property_ == XCB_ATOM_NONE || utf8_ == XCB_ATOM_NONE) return;
        const std::string_view id = applicationIdentifier;
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, static_cast<xcb_window_t>(window.winId()), property_,
                            utf8_, 8, static_cast<uint32_t>(id.size()), id.data());
        xcb_flush(connection_);
    }

protected:
    // The X window exists from here on, and is not on the screen yet.
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::PlatformSurface &&
            static_cast<QPlatformSurfaceEvent*>(event)->surfaceEventType() ==
                QPlatformSurfaceEvent::SurfaceCreated) {
            if (auto* window = qobject_cast<QWindow*>(watched)) mark(*window);
        }
        return false;
    }

private:
    xcb_connection_t* connection_;
    xcb_atom_t property_;
    xcb_atom_t utf8_;
};

}  // namespace

void markEveryWindowAsOurs() {
    // Lives as long as the application object, which owns it.
    static QPointer<WindowMarker> installed;
    if (installed) return;
    xcb_connection_t* connection = toolkitXcbConnection();
    if (!connection) return;
    installed = new WindowMarker(qGuiApp, connection);
    qGuiApp->installEventFilter(installed);
    for (QWindow* window : QGuiApplication::topLevelWindows()) {
        if (window->handle()) installed->mark(*window);
    }
}

}  // namespace dictaro
