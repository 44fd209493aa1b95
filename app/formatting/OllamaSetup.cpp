#include "app/formatting/OllamaSetup.h"

#include "app/formatting/JsonFields.h"
#include "platform/concurrency/MainActor.h"
#include "platform/foundation/DecodingError.h"
#include "platform/foundation/JsonWriter.h"
#include "platform/net/AsyncLines.h"
#include "platform/net/URLError.h"
#include "platform/net/URLSession.h"
#include "platform/text/UnicodeProperties.h"
#include "app/formatting/ProgramLauncher.h"

namespace dictaro {

namespace {

using platform::JSONNumber;
using platform::JSONValue;

constexpr double kHealthTimeout = 2.0;
constexpr double kPullTimeout = 60.0;
constexpr const char* kDownloadPage = "https://ollama.com/download";

std::vector<std::string> modelNames(const std::vector<std::uint8_t>& body) {
    const JSONValue tags = json::parseObject(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    std::vector<std::string> names;
    for (const JSONValue& model : json::requiredArray(tags, "models")) {
        names.push_back(json::requiredString(json::asObject(model), "name"));
    }
    return names;
}

struct PullChunk {
    OllamaSetup::PullProgress progress;
    std::optional<std::string> error;
};

PullChunk decodePullChunk(std::string_view line) {
    try {
        const JSONValue object = json::parseObject(line);
        return {{json::requiredString(object, "status"), json::optionalInt64(object, "completed"),
                 json::optionalInt64(object, "total")},
                json::optionalString(object, "error")};
    } catch (const platform::DecodingError& error) {
        throw OllamaSetupError::decode(error.what());
    }
}

}  // namespace

OllamaSetupError OllamaSetupError::transport(const std::string& text) {
    return {Kind::transport, "Couldn't reach Ollama: " + text};
}

OllamaSetupError OllamaSetupError::badStatus(int status) {
    return {Kind::badStatus, "Ollama returned HTTP " + std::to_string(status)};
}

OllamaSetupError OllamaSetupError::decode(const std::string& text) {
    return {Kind::decode, "Couldn't parse Ollama response: " + text};
}

OllamaSetupError OllamaSetupError::serverMessage(const std::string& text) { return {Kind::serverMessage, text}; }

OllamaSetupError OllamaSetupError::incomplete(const std::string& model) {
    return {Kind::incomplete, "Ollama stopped pulling " + model + " before it finished"};
}

OllamaSetup::Health OllamaSetup::health(const platform::URL& host) {
    platform::URLRequest request(host.appendingPathComponent("api/tags").absoluteString());
    request.timeoutInterval = kHealthTimeout;
    try {
        auto [body, response] = platform::URLSession::shared()->data(request);
        if (response.statusCode != 200) return Health::unreachable();
        return Health::running(modelNames(body));
    } catch (const std::exception&) {
        return Health::unreachable();
    }
}

void OllamaSetup::pull(const std::string& model, const platform::URL& host,
                       const std::function<void(const PullProgress&)>& onProgress) {
    platform::URLRequest request(host.appendingPathComponent("api/pull").absoluteString());
    request.httpMethod = "POST";
    request.timeoutInterval = kPullTimeout;
    request.setValue("application/json", "Content-Type");
    const std::vector<std::uint8_t> body =
        platform::jsonData(JSONValue(JSONValue::Object{{"name", model}, {"stream", JSONNumber::boolean(true)}}));
    request.httpBody = std::string(body.begin(), body.end());

    std::optional<platform::AsyncBytes> bytes;
    try {
        bytes.emplace(platform::URLSession::shared()->bytes(request));
    } catch (const platform::URLError& error) {
        throw OllamaSetupError::transport(error.what());
    }
    if (bytes->response().statusCode != 200) throw OllamaSetupError::badStatus(bytes->response().statusCode);

    platform::AsyncLines lines(*bytes);
    while (std::optional<std::string> line = lines.next()) {
        const std::string_view trimmed = platform::text::trimmingWhitespaces(*line);
        if (trimmed.empty()) continue;
        const PullChunk chunk = decodePullChunk(trimmed);
        if (chunk.error) throw OllamaSetupError::serverMessage(*chunk.error);
        platform::MainActor::run([&] { onProgress(chunk.progress); });
        if (chunk.progress.status == "success") return;
    }
    // Without "success" the model may be missing or half there.
    throw OllamaSetupError::incomplete(model);
}

void OllamaSetup::launchOrInstall() {
    if (launchProgram("ollama", {"serve"})) return;
    launchProgram("xdg-open", {kDownloadPage});
}

}  // namespace dictaro
