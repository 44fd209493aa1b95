#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "speech/model/DecodingOptions.h"

namespace dictaro {

// One live transcription of the microphone, as the speech service drives it.
class LiveTranscriber {
public:
    // What the service reads of the transcriber's state.
    struct State {
        std::vector<std::string> confirmedTexts;
        std::vector<std::string> unconfirmedTexts;
        std::string currentText;
    };
    // Called on the transcriber's own thread after every change of its state.
    using StateCallback = std::function<void(const State&)>;

    virtual ~LiveTranscriber() = default;
    // Starts capture and transcribes until stopped; returns once the stream
    // has ended. Throws when capture cannot start.
    virtual void startStreamTranscription() = 0;
    // Ends recording and capture; the stream then ends on its own.
    virtual void stopStreamTranscription() = 0;
};

// Told how much of a model download has arrived (0 to 1), on any thread.
using DownloadProgress = std::function<void(double fractionCompleted)>;

// The loaded speech engine with the capture it drives.
class SpeechEngine {
public:
    virtual ~SpeechEngine() = default;

    virtual bool hasTokenizer() const = 0;
    virtual std::shared_ptr<LiveTranscriber> makeTranscriber(const sonoscribe::DecodingOptions& options,
                                                             LiveTranscriber::StateCallback onState) = 0;

    // Ends any capture still running.
    virtual void stopRecording() = 0;
    // Holds capture back and keeps what was captured, so the transcriber's
    // view of the buffer stays true.
    virtual void pauseRecording() = 0;
    // Lets a held capture go on into the same buffer; throws when it cannot.
    virtual void resumeRecording() = 0;
};

}  // namespace dictaro
