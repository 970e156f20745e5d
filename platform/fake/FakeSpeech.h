// A scriptable speech platform for deterministic tests: given locales,
// formats and asset states; analysers that record their input and emit
// given results when the fed audio reaches given times.
#pragma once

#include "platform/Speech.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace zorva::fake {

class FakeAnalyzer final : public SpeechAnalyzer {
public:
    struct Script {
        std::optional<SpeechError> startError;
        std::chrono::milliseconds startDelay{0};
        bool finalizeNeverCompletes = false;                    // only a cancel ends it
        std::vector<std::pair<double, SpeechResult>> resultsAt; // fed seconds -> result
        std::optional<std::string> failResultsWith;             // at the end of input
        bool startThrows = false;                               // as when no thread can be made
        bool finishThrows = false; // from finalizeAndFinishThroughEndOfInput
        bool holdInput = false;    // takes no input until releaseInput()
    };

    FakeAnalyzer(std::shared_ptr<SpeechTranscriber> module, Script script);
    ~FakeAnalyzer() override;

    std::optional<SpeechError> start(std::shared_ptr<AnalyzerInputStream> input) override;
    std::optional<MediaTimeRange> volatileRange() override;
    std::optional<SpeechError> finalize(MediaTime through) override;
    std::optional<SpeechError> finalizeAndFinishThroughEndOfInput() override;
    void cancelAndFinishNow() override;

    // ---- for the test, from any thread
    void setVolatileRange(std::optional<MediaTimeRange> range);
    void emit(SpeechResult result); // straight into the results
    void releaseInput();
    std::vector<AnalyzerInput> inputs() const;
    std::vector<MediaTime> finalizeRequests() const;
    bool cancelled() const;
    const SpeechTranscriber& module() const { return *module_; }

private:
    void consume();

    std::shared_ptr<SpeechTranscriber> module_;
    Script script_;
    std::shared_ptr<AnalyzerInputStream> input_;
    std::thread worker_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<AnalyzerInput> inputs_;
    std::optional<MediaTimeRange> volatileRange_;
    std::vector<MediaTime> finalizeRequests_;
    bool inputEnded_ = false;
    bool inputHeld_ = false;
    bool cancelled_ = false;
};

class FakeInstallationRequest final : public AssetInstallationRequest {
public:
    FakeInstallationRequest(std::chrono::milliseconds duration, std::optional<SpeechError> result)
        : duration_(duration), result_(std::move(result)) {}
    double fractionCompleted() const override;
    std::optional<SpeechError> downloadAndInstall() override;

private:
    std::chrono::milliseconds duration_;
    std::optional<SpeechError> result_;
    mutable std::mutex lock_;
    std::optional<std::chrono::steady_clock::time_point> began_;
};

class FakeSpeechPlatform final : public SpeechPlatform {
public:
    // ---- scripting (before use)
    // `spelling` resolves to the locale `identifier`.
    void supportLocale(const std::string& spelling, const std::string& identifier);
    void setBestFormat(std::optional<AudioFormat> format) { bestFormat_ = format; }
    void setStatus(const std::string& identifier, AssetStatus status);
    void setInstallation(std::optional<SpeechError> requestError,
                         std::shared_ptr<AssetInstallationRequest> request);
    FakeAnalyzer::Script analyzerScript;

    // ---- observations
    std::vector<std::shared_ptr<FakeAnalyzer>> analyzers() const;
    std::vector<std::string> reserved() const;

    // ---- SpeechPlatform
    std::optional<SpeechLocale> supportedLocale(const std::string& equivalentTo) override;
    std::optional<AudioFormat> bestAvailableAudioFormat(const SpeechTranscriber& module) override;
    std::unique_ptr<SpeechAnalyzer>
    makeAnalyzer(std::shared_ptr<SpeechTranscriber> module) override;
    AssetStatus status(const SpeechTranscriber& module) override;
    std::optional<SpeechError>
    assetInstallationRequest(const SpeechTranscriber& module,
                             std::shared_ptr<AssetInstallationRequest>& out) override;
    void reserve(const SpeechLocale& locale) override;

private:
    mutable std::mutex lock_;
    std::map<std::string, std::string> locales_;
    std::optional<AudioFormat> bestFormat_ =
        AudioFormat{AudioFormat::Sample::int16, 16000, 1, true};
    std::map<std::string, AssetStatus> statuses_;
    std::optional<SpeechError> requestError_;
    std::shared_ptr<AssetInstallationRequest> request_;
    std::vector<std::shared_ptr<FakeAnalyzer>> analyzers_;
    std::vector<std::string> reserved_;
};

} // namespace zorva::fake
