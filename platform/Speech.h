// On-device speech analysis as the logic sees it. A platform offers locales,
// an asset inventory and analysers; a transcriber module describes what to
// transcribe and carries the results; an analyser turns a stream of input
// buffers into those results.
//
// Threads: every operation may block (model loading, finalisation) and must
// not be called on the main queue; callers run them on their own threads.
// Each analyser is used by one owner; results and input are AsyncQueues.
#pragma once

#include "AsyncQueue.h"
#include "Audio.h"
#include "MediaTime.h"

#include <memory>
#include <optional>
#include <string>

namespace zorva {

struct SpeechLocale {
    std::string identifier; // BCP 47, e.g. "en-US"
    bool operator==(const SpeechLocale&) const = default;
};

// What the platform reports; failures carry a readable description.
struct SpeechError {
    std::string description;
};

struct SpeechResult {
    std::string text;
    MediaTimeRange range; // on the analyser's input timeline
    bool isFinal = false;
};
using ResultStream = AsyncQueue<SpeechResult>;

struct AnalyzerInput {
    PcmBufferPtr buffer; // in the analyser's format
    MediaTime start;     // where it begins on the input timeline
};
using AnalyzerInputStream = AsyncQueue<AnalyzerInput>;

// A transcriber module: the locale and reporting options, and the results
// of the analyser that runs it (ended when the analyser finishes).
struct SpeechTranscriber {
    SpeechLocale locale;
    bool volatileResults = true;
    bool fastResults = false;
    bool audioTimeRange = true;
    std::shared_ptr<ResultStream> results = std::make_shared<ResultStream>();
};

enum class AssetStatus { unsupported, supported, downloading, installed };
std::string toString(AssetStatus status);

class AssetInstallationRequest {
public:
    virtual ~AssetInstallationRequest() = default;
    virtual double fractionCompleted() const = 0;                // 0.0 to 1.0, any thread
    virtual std::optional<SpeechError> downloadAndInstall() = 0; // blocks until done
};

class SpeechAnalyzer {
public:
    virtual ~SpeechAnalyzer() = default;
    // Begins consuming `input`; returns once analysis runs.
    virtual std::optional<SpeechError> start(std::shared_ptr<AnalyzerInputStream> input) = 0;
    // The range whose results are still volatile, if any.
    virtual std::optional<MediaTimeRange> volatileRange() = 0;
    // Results up to `through` become final; blocks until they are.
    virtual std::optional<SpeechError> finalize(MediaTime through) = 0;
    // After the input has ended: settles everything, ends the results, and
    // returns once the analyser has finished.
    virtual std::optional<SpeechError> finalizeAndFinishThroughEndOfInput() = 0;
    // Ends at once; a pending finalisation returns.
    virtual void cancelAndFinishNow() = 0;
};

class SpeechPlatform {
public:
    virtual ~SpeechPlatform() = default;
    virtual std::optional<SpeechLocale> supportedLocale(const std::string& equivalentTo) = 0;
    virtual std::optional<AudioFormat>
    bestAvailableAudioFormat(const SpeechTranscriber& module) = 0;
    virtual std::unique_ptr<SpeechAnalyzer>
    makeAnalyzer(std::shared_ptr<SpeechTranscriber> module) = 0;

    virtual AssetStatus status(const SpeechTranscriber& module) = 0;
    // `out` stays empty when nothing needs installing.
    virtual std::optional<SpeechError>
    assetInstallationRequest(const SpeechTranscriber& module,
                             std::shared_ptr<AssetInstallationRequest>& out) = 0;
    // Keeps the locale's assets ready for this process (failures ignored).
    virtual void reserve(const SpeechLocale& locale) = 0;
};

} // namespace zorva
