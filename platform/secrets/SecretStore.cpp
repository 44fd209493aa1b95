#include "platform/secrets/SecretStore.h"

#include <libsecret/secret.h>

#include <memory>

namespace platform {

namespace {

// The attribute names other tools (secret-tool, keyring browsers) show for a
// generic password.
const SecretSchema* schema() {
    static const SecretSchema definition = {
        "org.freedesktop.Secret.Generic",
        SECRET_SCHEMA_NONE,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    };
    return &definition;
}

void throwIfFailed(GError* error) {
    if (error == nullptr) return;
    std::unique_ptr<GError, decltype(&g_error_free)> owned(error, &g_error_free);
    throw SecretStoreError(owned->message != nullptr ? owned->message : "the secret store failed");
}

}  // namespace

std::optional<std::string> SecretStore::password(const std::string& service, const std::string& account) {
    GError* error = nullptr;
    gchar* secret = secret_password_lookup_sync(schema(), nullptr, &error, "service", service.c_str(), "account",
                                                account.c_str(), nullptr);
    throwIfFailed(error);
    if (secret == nullptr) return std::nullopt;
    const bool isText = g_utf8_validate(secret, -1, nullptr) != FALSE;
    std::string value(secret);
    secret_password_free(secret);
    if (!isText) throw SecretStoreError("the stored secret is not UTF-8 text");
    return value;
}

void SecretStore::store(const std::string& service, const std::string& account, const std::string& label,
                        const std::string& secret) {
    GError* error = nullptr;
    const gboolean stored =
        secret_password_store_sync(schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), secret.c_str(), nullptr, &error,
                                   "service", service.c_str(), "account", account.c_str(), nullptr);
    throwIfFailed(error);
    if (!stored) throw SecretStoreError("the secret store refused the item");
}

bool SecretStore::remove(const std::string& service, const std::string& account) {
    GError* error = nullptr;
    const gboolean removed = secret_password_clear_sync(schema(), nullptr, &error, "service", service.c_str(),
                                                         "account", account.c_str(), nullptr);
    throwIfFailed(error);
    return removed != FALSE;
}

}  // namespace platform
