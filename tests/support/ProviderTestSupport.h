#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "app/formatting/FormattingError.h"
#include "app/formatting/FormattingStream.h"
#include "platform/foundation/JsonReader.h"
#include "platform/foundation/JsonValue.h"
#include "platform/foundation/JsonWriter.h"
#include "tests/support/FakeProviderServer.h"

namespace dictaro::testing {

using testsupport::FakeProviderServer;
using testsupport::ScriptedAnswer;
namespace wire = testsupport::wire;
using End = FormattingEnd::Kind;

// The decoder's words for a payload of the wrong shape and for a missing member.
inline constexpr const char* kWrongShape =
    "Couldn't decode formatting response: The data couldn't be read because it isn't in the correct format.";
inline constexpr const char* kMissingMember =
    "Couldn't decode formatting response: The data couldn't be read because it is missing.";

// Everything a consumer sees of one stream.
struct Outcome {
    std::vector<std::string> elements;
    // The error's text; empty when the stream finished normally.
    std::string error;
    std::optional<FormattingError::Kind> errorKind;
    FormattingEnd end;
};

inline Outcome collect(FormattingStream stream) {
    Outcome outcome;
    try {
        for (const std::string& element : stream) outcome.elements.push_back(element);
    } catch (const FormattingError& error) {
        outcome.error = error.what();
        outcome.errorKind = error.kind();
    } catch (const std::exception& error) {
        outcome.error = error.what();
    }
    outcome.end = stream.ending();
    return outcome;
}

// One scripted answer and what the consumer must see of it.
struct StreamCase {
    std::string name;
    testsupport::ScriptedAnswer answer;
    std::vector<std::string> elements;
    std::string error;
    FormattingEnd::Kind end;
};

inline testsupport::ScriptedAnswer streamOf(std::initializer_list<std::string> writes) {
    testsupport::ScriptedAnswer answer;
    for (const std::string& bytes : writes) answer.write(bytes);
    return answer;
}

inline testsupport::ScriptedAnswer failing(int status, std::string body = {}) {
    testsupport::ScriptedAnswer answer;
    answer.status = status;
    answer.errorBody = std::move(body);
    return answer;
}

template <class MakeStream>
void expectCases(testsupport::FakeProviderServer& server, const std::vector<StreamCase>& cases, MakeStream makeStream) {
    for (const StreamCase& scripted : cases) {
        SCOPED_TRACE(scripted.name);
        server.script("", scripted.answer);
        const Outcome outcome = collect(makeStream());
        EXPECT_EQ(outcome.elements, scripted.elements);
        EXPECT_EQ(outcome.error, scripted.error);
        EXPECT_EQ(outcome.end.kind, scripted.end) << outcome.end.description();
    }
}

// A value as compact JSON text with every object's members sorted, so that
// two bodies compare whatever order their members were written in.
inline std::string canonical(platform::JSONValue value) {
    struct Sort {
        static void apply(platform::JSONValue& value) {
            if (auto* members = value.object()) {
                std::sort(members->begin(), members->end(),
                          [](const auto& a, const auto& b) { return a.first < b.first; });
                for (auto& member : *members) apply(member.second);
            } else if (auto* elements = value.array()) {
                for (auto& element : *elements) apply(element);
            }
        }
    };
    Sort::apply(value);
    const std::vector<std::uint8_t> data = platform::jsonData(value);
    return std::string(data.begin(), data.end());
}

inline std::string bodyOf(const testsupport::ProviderRequest& request) {
    return canonical(platform::jsonObject(request.body));
}

// The header names the client chose, without the two the transport adds.
inline std::vector<std::string> chosenHeaderNames(const testsupport::ProviderRequest& request) {
    std::vector<std::string> names;
    for (const std::string& name : request.headerNames()) {
        if (name != "Host" && name != "Content-Length") names.push_back(name);
    }
    return names;
}

inline std::optional<std::string> headerValue(const testsupport::ProviderRequest& request, const std::string& name) {
    for (const auto& [field, value] : request.headers) {
        if (field == name) return value;
    }
    return std::nullopt;
}

}  // namespace dictaro::testing
