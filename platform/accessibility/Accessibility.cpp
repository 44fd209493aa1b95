#include "platform/accessibility/Accessibility.h"

#include <atspi/atspi.h>
#include <gio/gio.h>

#include <mutex>
#include <vector>

namespace platform::accessibility {
namespace {

// libatspi keeps process-wide state and is not thread-safe.
std::mutex atspiMutex;

constexpr int callTimeoutMs = 1000;
// A bound on the elements looked at, so a huge tree cannot stall a paste.
constexpr int maxVisitedElements = 5000;

GDBusConnection* sessionBus() {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (error) g_error_free(error);
    return bus;
}

GVariant* callA11yBus(GDBusConnection* bus, const char* interface, const char* method, GVariant* arguments) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.a11y.Bus", "/org/a11y/bus", interface, method, arguments,
                                                  nullptr, G_DBUS_CALL_FLAGS_NONE, callTimeoutMs, nullptr, &error);
    if (error) g_error_free(error);
    return reply;
}

std::optional<std::string> text(gchar* owned) {
    if (!owned) return std::nullopt;
    std::string value(owned);
    g_free(owned);
    if (value.empty()) return std::nullopt;
    return value;
}

std::optional<std::string> text(AtspiAccessible* element, gchar* (*read)(AtspiAccessible*, GError**)) {
    GError* error = nullptr;
    gchar* value = read(element, &error);
    if (error) g_error_free(error);
    return text(value);
}

bool isFocused(AtspiAccessible* element) {
    AtspiStateSet* states = atspi_accessible_get_state_set(element);
    if (!states) return false;
    const bool focused = atspi_state_set_contains(states, ATSPI_STATE_FOCUSED);
    g_object_unref(states);
    return focused;
}

// Depth first; the caller owns the returned reference.
AtspiAccessible* findFocused(AtspiAccessible* element, int& budget) {
    if (--budget < 0) return nullptr;
    if (isFocused(element)) return static_cast<AtspiAccessible*>(g_object_ref(element));
    GError* error = nullptr;
    const gint count = atspi_accessible_get_child_count(element, &error);
    if (error) {
        g_error_free(error);
        return nullptr;
    }
    for (gint i = 0; i < count && budget >= 0; ++i) {
        AtspiAccessible* child = atspi_accessible_get_child_at_index(element, i, nullptr);
        if (!child) continue;
        AtspiAccessible* found = findFocused(child, budget);
        g_object_unref(child);
        if (found) return found;
    }
    return nullptr;
}

}  // namespace

bool isProcessTrusted() {
    GDBusConnection* bus = sessionBus();
    if (!bus) return false;
    bool enabled = false;
    if (GVariant* reply = callA11yBus(bus, "org.freedesktop.DBus.Properties", "Get",
                                      g_variant_new("(ss)", "org.a11y.Status", "IsEnabled"))) {
        GVariant* value = nullptr;
        g_variant_get(reply, "(v)", &value);
        enabled = value && g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value);
        if (value) g_variant_unref(value);
        g_variant_unref(reply);
    }
    // The bus itself must answer too, not only the switch.
    if (enabled) {
        GVariant* address = callA11yBus(bus, "org.a11y.Bus", "GetAddress", nullptr);
        enabled = address != nullptr;
        if (address) g_variant_unref(address);
    }
    g_object_unref(bus);
    return enabled;
}

bool enableAccessibility() {
    GDBusConnection* bus = sessionBus();
    if (!bus) return false;
    GVariant* reply = callA11yBus(bus, "org.freedesktop.DBus.Properties", "Set",
                                  g_variant_new("(ssv)", "org.a11y.Status", "IsEnabled", g_variant_new_boolean(TRUE)));
    const bool done = reply != nullptr;
    if (reply) g_variant_unref(reply);
    g_object_unref(bus);
    return done;
}

std::optional<FocusedElementText> focusedElement(pid_t pid) {
    if (pid <= 0) return std::nullopt;
    std::lock_guard lock(atspiMutex);
    static const bool initialised = [] {
        const int status = atspi_init();
        atspi_set_timeout(callTimeoutMs, callTimeoutMs);
        return status >= 0;
    }();
    if (!initialised) return std::nullopt;
    AtspiAccessible* desktop = atspi_get_desktop(0);
    if (!desktop) return std::nullopt;
    AtspiAccessible* focused = nullptr;
    const gint applications = atspi_accessible_get_child_count(desktop, nullptr);
    for (gint i = 0; i < applications && !focused; ++i) {
        AtspiAccessible* application = atspi_accessible_get_child_at_index(desktop, i, nullptr);
        if (!application) continue;
        if (atspi_accessible_get_process_id(application, nullptr) == static_cast<guint>(pid)) {
            int budget = maxVisitedElements;
            focused = findFocused(application, budget);
        }
        g_object_unref(application);
    }
    g_object_unref(desktop);
    if (!focused) return std::nullopt;

    FocusedElementText texts;
    if (GHashTable* attributes = atspi_accessible_get_attributes(focused, nullptr)) {
        if (auto* placeholder = static_cast<const char*>(g_hash_table_lookup(attributes, "placeholder-text"))) {
            texts.placeholder = text(g_strdup(placeholder));
        }
        g_hash_table_unref(attributes);
    }
    texts.description = text(focused, atspi_accessible_get_description);
    texts.title = text(focused, atspi_accessible_get_name);
    g_object_unref(focused);
    return texts;
}

}  // namespace platform::accessibility
