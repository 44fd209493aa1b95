#include "platform/desktop/FileManager.h"

#include <gio/gio.h>

#include <string>

#include "platform/foundation/URL.h"

namespace platform::desktop {
namespace {

// Long enough for a file manager the bus has to start first.
constexpr int callTimeoutMs = 5000;

[[noreturn]] void fail(GError* error) {
    const std::string message = error && error->message ? error->message : "the session bus gave no reason";
    if (error) g_error_free(error);
    throw FileManagerError(message);
}

}  // namespace

void showItem(const std::filesystem::path& item) {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) fail(error);
    const std::string uri = URL::fileURLWithPath(item.string(), false).absoluteString();
    GVariantBuilder uris;
    g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
    g_variant_builder_add(&uris, "s", uri.c_str());
    GVariant* reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1", "org.freedesktop.FileManager1",
        "ShowItems", g_variant_new("(ass)", &uris, ""), nullptr, G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, &error);
    g_object_unref(bus);
    if (!reply) fail(error);
    g_variant_unref(reply);
}

}  // namespace platform::desktop
