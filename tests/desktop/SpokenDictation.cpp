#include "tests/desktop/SpokenDictation.h"

#include <chrono>
#include <cstdlib>

#include "tests/support/EngineTestSupport.h"
#include "tests/support/PipeMicrophone.h"
#include "tests/support/SpeechModelRepository.h"

namespace desktoptest {

void serveSpeechModel(const std::filesystem::path& hubRoot) {
    using namespace sonoscribe::testing;
    testsupport::writeModelRepository(hubRoot / "models" / speechModelRepository, {speechModelName},
                                      scriptedWindow(helloWorldTokens(), 1.0f), speechModelName);
}

const std::string& dictatedSpeech() {
    static const std::string audio =
        testsupport::microphoneSilence(std::chrono::milliseconds(500)) +
        testsupport::spokenMicrophoneAudio("Please write down what I say now, and put it where the cursor is.");
    return audio;
}

testsupport::ScriptedAnswer formattedAnswer() {
    testsupport::ScriptedAnswer answer;
    answer.contentType = "application/x-ndjson";
    answer.write(testsupport::wire::ollamaText("Hello,"))
        .write(testsupport::wire::ollamaText(" world!"))
        .write(testsupport::wire::ollamaEnd());
    return answer;
}

testsupport::ScriptedAnswer cutShortAnswer() {
    testsupport::ScriptedAnswer answer;
    answer.contentType = "application/x-ndjson";
    answer.write(testsupport::wire::ollamaText("Hel")).drop();
    return answer;
}

void useTestHub(const std::string& endpoint, const std::filesystem::path& home) {
    for (const char* name : {"HF_TOKEN", "HUGGING_FACE_HUB_TOKEN", "HF_TOKEN_PATH", "HF_HOME", "http_proxy",
                             "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"}) {
        ::unsetenv(name);
    }
    ::setenv("no_proxy", "127.0.0.1,localhost", 1);
    ::setenv("HF_ENDPOINT", endpoint.c_str(), 1);
    ::setenv("HOME", home.c_str(), 1);
}

}  // namespace desktoptest
