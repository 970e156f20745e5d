#include "SphinxSpeech.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <pocketsphinx.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef ZORVA_SPHINX_MODELDIR
#define ZORVA_SPHINX_MODELDIR "/usr/share/pocketsphinx/model"
#endif

namespace zorva {

std::string toString(AssetStatus status) {
    switch (status) {
    case AssetStatus::unsupported:
        return "unsupported";
    case AssetStatus::supported:
        return "supported";
    case AssetStatus::downloading:
        return "downloading";
    case AssetStatus::installed:
        return "installed";
    }
    return "unknown";
}

namespace {

constexpr int kRate = 16000;
constexpr int kSamplesPerFrame = kRate / 100; // the decoder's 100 frames per second

// How the decoder searches and how often it reports. The accurate preset
// rescores each utterance with the flat-lexicon and best-path passes; the fast
// one keeps the first pass alone, so a final is the hypothesis its partials
// already showed, ends utterances after a shorter silence and lets fewer words
// end in a frame and fewer HMMs stay active (about half the CPU, no loss on
// our recordings; narrower beams lost many words). Both look 3 frames ahead
// rather than 5: words show about half as late, at the same accuracy.
struct Preset {
    const char* fwdflat;
    const char* bestpath;
    const char* postspeechFrames; // silence that ends an utterance, 10 ms frames
    const char* wordsPerFrame;    // at most this many words may end in a frame (-1: any)
    const char* hmmsPerFrame;     // at most this many HMMs active in a frame
    const char* lookaheadFrames;  // phone-loop lookahead, which delays every hypothesis
    int64_t chunkSamples;         // audio fed to the decoder at a time
};
constexpr Preset kAccurate{"yes", "yes", "50", "-1", "30000", "3", kRate / 10};
constexpr Preset kFast{"no", "no", "30", "10", "5000", "3", kRate / 20};
// Partials are 170 ms apart at least: the reporter drops those within 160 ms.
constexpr int64_t kPartialGapSamples = kRate * 17 / 100;
constexpr int64_t kLongestUtteranceSamples = 20 * kRate;
constexpr int64_t kSettleBackSamples = 2 * kRate;
const char* const kPackage = "pocketsphinx-en-us";

struct ModelFiles {
    std::string hmm, lm, dict;
    bool present() const {
        return ::access((hmm + "/mdef").c_str(), R_OK) == 0 && ::access(lm.c_str(), R_OK) == 0 &&
               ::access(dict.c_str(), R_OK) == 0;
    }
};

// Decoders are expensive (about 93 MB and a second to load each) and cannot
// be shared between threads, so finished analysers return theirs here for the
// next one: the model stays loaded for the life of the process.
class DecoderPool {
public:
    DecoderPool(ModelFiles files, Preset preset) : files_(std::move(files)), preset_(preset) {}
    ~DecoderPool() {
        for (ps_decoder_t* d : free_)
            ps_free(d);
    }
    ps_decoder_t* take() {
        {
            std::lock_guard g(lock_);
            if (!free_.empty()) {
                ps_decoder_t* d = free_.back();
                free_.pop_back();
                return d;
            }
        }
        return load();
    }
    void give(ps_decoder_t* d) {
        std::lock_guard g(lock_);
        free_.push_back(d);
    }
    void reserve() {
        {
            std::lock_guard g(lock_);
            if (!free_.empty())
                return;
        }
        if (ps_decoder_t* d = load())
            give(d);
    }
    const ModelFiles& files() const { return files_; }
    const Preset& preset() const { return preset_; }

private:
    ps_decoder_t* load() {
        if (!files_.present())
            return nullptr;
        cmd_ln_t* config = cmd_ln_init(
            nullptr, ps_args(), TRUE, "-hmm", files_.hmm.c_str(), "-lm", files_.lm.c_str(), "-dict",
            files_.dict.c_str(), "-logfn", "/dev/null", "-fwdflat", preset_.fwdflat, "-bestpath",
            preset_.bestpath, "-vad_postspeech", preset_.postspeechFrames, "-maxwpf",
            preset_.wordsPerFrame, "-maxhmmpf", preset_.hmmsPerFrame, "-pl_window",
            preset_.lookaheadFrames, nullptr);
        if (!config)
            return nullptr;
        ps_decoder_t* d = ps_init(config);
        cmd_ln_free_r(config);
        return d;
    }

    ModelFiles files_;
    Preset preset_;
    std::mutex lock_;
    std::vector<ps_decoder_t*> free_;
};

struct Word {
    std::string text;
    int64_t start, end; // samples on the input timeline
};

// "was(2)" -> "was"; fillers ("<s>", "<sil>", "[NOISE]") -> "".
std::string cleanWord(const char* raw) {
    std::string w = raw ? raw : "";
    if (w.empty() || w[0] == '<' || w[0] == '[')
        return {};
    auto paren = w.find('(');
    if (paren != std::string::npos && paren > 0)
        w.erase(paren);
    return w;
}

MediaTime samplesToTime(int64_t samples) {
    return MediaTime{samples, kRate};
}

class SphinxAnalyzer final : public SpeechAnalyzer {
public:
    SphinxAnalyzer(std::shared_ptr<DecoderPool> pool, std::shared_ptr<SpeechTranscriber> module)
        : pool_(std::move(pool)), module_(std::move(module)), preset_(pool_->preset()) {}

    ~SphinxAnalyzer() override {
        cancelAndFinishNow();
        if (worker_.joinable())
            worker_.join();
    }

    std::optional<SpeechError> start(std::shared_ptr<AnalyzerInputStream> input) override {
        decoder_ = pool_->take();
        if (!decoder_)
            return SpeechError{"cannot load the en-US speech model from " + pool_->files().hmm +
                               " (install the Debian package " + kPackage + ")"};
        input_ = std::move(input);
        ps_start_stream(decoder_);
        ps_start_utt(decoder_);
        {
            std::lock_guard g(lock_);
            started_ = true;
        }
        worker_ = std::thread([this] { run(); });
        return std::nullopt;
    }

    std::optional<MediaTimeRange> volatileRange() override {
        std::lock_guard g(lock_);
        if (!inSpeech_)
            return std::nullopt;
        return MediaTimeRange::fromStartEnd(samplesToTime(speechStart_), samplesToTime(fedEnd_));
    }

    std::optional<SpeechError> finalize(MediaTime through) override {
        std::unique_lock g(lock_);
        if (!started_ || finished_)
            return std::nullopt;
        const uint64_t ticket = ++requested_;
        settleThrough_ = static_cast<int64_t>(through.seconds() * kRate);
        changed_.wait(g, [&] { return finished_ || served_ >= ticket; });
        return std::nullopt;
    }

    std::optional<SpeechError> finalizeAndFinishThroughEndOfInput() override {
        std::unique_lock g(lock_);
        changed_.wait(g, [&] { return !started_ || finished_; });
        return std::nullopt;
    }

    void cancelAndFinishNow() override {
        cancelled_ = true;
        if (!worker_.joinable())
            module_->results->finish();
    }

private:
    // ---- the worker thread owns the decoder

    void run() {
        AnalyzerInput input;
        for (;;) {
            if (cancelled_)
                break;
            auto status = input_->next(input, std::chrono::milliseconds(50));
            serveRequest();
            if (status == AnalyzerInputStream::Status::timeout)
                continue;
            if (status != AnalyzerInputStream::Status::item)
                break; // end of input
            feed(input);
        }
        if (!cancelled_)
            endUtterance(/*restart=*/false);
        else
            ps_end_utt(decoder_);
        pool_->give(decoder_);
        decoder_ = nullptr;
        module_->results->finish();
        {
            std::lock_guard g(lock_);
            finished_ = true;
            inSpeech_ = false;
        }
        changed_.notify_all();
    }

    void serveRequest() {
        int64_t through = 0;
        uint64_t ticket = 0;
        {
            std::lock_guard g(lock_);
            if (served_ == requested_)
                return;
            ticket = requested_;
            through = settleThrough_;
        }
        settleAt(through);
        maybeReportPartial(); // the re-fed words need not wait for the next buffer
        {
            std::lock_guard g(lock_);
            served_ = ticket;
        }
        changed_.notify_all();
    }

    void feed(const AnalyzerInput& input) {
        auto planes = input.buffer->int16ChannelData();
        if (planes.empty())
            return;
        const int16_t* samples = planes[0];
        const int64_t n = input.buffer->frameLength();
        const int64_t start = static_cast<int64_t>(std::llround(input.start.seconds() * kRate));
        if (start != timelineNext_) {
            // The input skipped (or repeated) time: map what follows to it.
            pieces_.push_back({decoderSamples_, start});
            timelineNext_ = start;
        }
        for (int64_t off = 0; off < n && !cancelled_; off += preset_.chunkSamples) {
            int64_t count = std::min<int64_t>(preset_.chunkSamples, n - off);
            process(samples + off, count, timelineNext_);
            timelineNext_ += count;
            {
                std::lock_guard g(lock_);
                fedEnd_ = timelineNext_;
            }
        }
        maybeReportPartial();
    }

    // A partial goes out when the text has changed and the last one is old
    // enough to pass the reporter's throttle: one sooner would be dropped
    // there, and its words would wait for the next change. It is taken after
    // the whole buffer, the newest text for the moment it is sent.
    void maybeReportPartial() {
        if (inSpeech_ && sincePartial_ >= kPartialGapSamples && module_->volatileResults &&
            reportPartial())
            sincePartial_ = 0;
    }

    // Feeds one chunk that starts at timeline sample `at`, then acts on the
    // voice-activity edges.
    void process(const int16_t* samples, int64_t count, int64_t at) {
        if (!uttAudio_.empty() || inSpeech_) {
            uttAudio_.insert(uttAudio_.end(), samples, samples + count);
        } else {
            // Before speech only the last second is worth keeping.
            uttAudio_.assign(samples, samples + count);
            uttAudioStart_ = at;
        }
        ps_process_raw(decoder_, samples, static_cast<size_t>(count), FALSE, FALSE);
        decoderSamples_ += count;
        const bool speech = ps_get_in_speech(decoder_) != 0;
        if (speech && !inSpeech_) {
            std::lock_guard g(lock_);
            inSpeech_ = true;
            speechStart_ = at;
            // The first words of an utterance may show at once: the last
            // utterance ended with a final, which resets the throttle.
            sincePartial_ = kPartialGapSamples;
        } else if (!speech && inSpeech_) {
            endUtterance(/*restart=*/true);
            return;
        }
        if (!inSpeech_) {
            if (uttAudio_.size() > static_cast<std::size_t>(kRate)) {
                std::size_t drop = uttAudio_.size() - kRate;
                uttAudio_.erase(uttAudio_.begin(), uttAudio_.begin() + static_cast<long>(drop));
                uttAudioStart_ += static_cast<int64_t>(drop);
            }
            return;
        }
        sincePartial_ += count;
        // No decoder may grow without bound: a long utterance is settled at a
        // word gap (at most once a second while no gap is found).
        if (!refeeding_ && at + count - speechStart_ > kLongestUtteranceSamples &&
            at + count >= nextLongCheck_) {
            nextLongCheck_ = at + count + kRate;
            settleAt(at + count - kSettleBackSamples);
        }
    }

    int64_t toTimeline(int64_t decoderSample) const {
        auto it = std::upper_bound(pieces_.begin(), pieces_.end(), decoderSample,
                                   [](int64_t d, const Piece& p) { return d < p.decoder; });
        const Piece& p = *std::prev(it);
        return p.timeline + (decoderSample - p.decoder);
    }

    std::vector<Word> words() {
        std::vector<Word> out;
        for (ps_seg_t* seg = ps_seg_iter(decoder_); seg; seg = ps_seg_next(seg)) {
            int sf = 0, ef = 0;
            ps_seg_frames(seg, &sf, &ef);
            if (refedFrom_) {
                // The decoder numbers a new utterance's frames from where its
                // own counter stands, a few frames off the samples fed: anchor
                // the re-fed audio to the utterance's first frame.
                Piece piece{int64_t(sf) * kSamplesPerFrame, *refedFrom_};
                auto at = std::upper_bound(pieces_.begin(), pieces_.end(), piece.decoder,
                                           [](int64_t d, const Piece& p) { return d < p.decoder; });
                pieces_.insert(at, piece);
                refedFrom_.reset();
            }
            std::string w = cleanWord(ps_seg_word(seg));
            if (w.empty())
                continue;
            out.push_back({w, toTimeline(int64_t(sf) * kSamplesPerFrame),
                           toTimeline(int64_t(ef + 1) * kSamplesPerFrame)});
        }
        return out;
    }

    static std::string join(const std::vector<Word>& ws, std::size_t count) {
        std::string text;
        for (std::size_t i = 0; i < count; ++i)
            text += (i ? " " : "") + ws[i].text;
        return text;
    }

    bool reportPartial() {
        auto ws = words();
        std::string text = join(ws, ws.size());
        if (text.empty() || text == lastPartial_)
            return false;
        lastPartial_ = text;
        module_->results->push({text,
                                MediaTimeRange::fromStartEnd(samplesToTime(ws.front().start),
                                                             samplesToTime(timelineNext_)),
                                false});
        return true;
    }

    void emitFinal(const std::vector<Word>& ws, std::size_t count) {
        if (count == 0)
            return;
        module_->results->push({join(ws, count),
                                MediaTimeRange::fromStartEnd(samplesToTime(ws.front().start),
                                                             samplesToTime(ws[count - 1].end)),
                                true});
    }

    // A speech-to-silence edge, or the end of input: everything so far is final.
    void endUtterance(bool restart) {
        ps_end_utt(decoder_);
        auto ws = words();
        emitFinal(ws, ws.size());
        resetUtterance();
        if (restart)
            ps_start_utt(decoder_);
    }

    void resetUtterance() {
        refedFrom_.reset();
        lastPartial_.clear();
        uttAudio_.clear();
        std::lock_guard g(lock_);
        inSpeech_ = false;
    }

    // Settles the running utterance at its last word gap at or before
    // `through`, then decodes the audio after that gap again as a new
    // utterance, so no word is cut in two and nothing is lost.
    void settleAt(int64_t through) {
        if (!inSpeech_)
            return;
        // The caller asks by what it has queued, which may run ahead of
        // what this decoder has heard.
        through = std::min(through, timelineNext_);
        auto lastGapBefore = [&](const std::vector<Word>& ws) {
            std::size_t count = 0;
            while (count < ws.size() && ws[count].end <= through && ws[count].end >= uttAudioStart_)
                ++count;
            return count;
        };
        if (lastGapBefore(words()) == 0)
            return; // no gap yet: the utterance goes on untouched
        ps_end_utt(decoder_);
        auto ws = words();
        std::size_t count = lastGapBefore(ws);
        emitFinal(ws, count);
        restartFrom(count ? ws[count - 1].end : uttAudioStart_);
    }

    void restartFrom(int64_t timelineSample) {
        // Word times are the decoder's frames mapped back to the timeline and
        // may overshoot the audio kept by a frame or more.
        const auto keep = std::clamp<int64_t>(timelineSample - uttAudioStart_, 0,
                                              static_cast<int64_t>(uttAudio_.size()));
        timelineSample = uttAudioStart_ + keep;
        std::vector<int16_t> audio(uttAudio_.begin() + keep, uttAudio_.end());
        const int64_t resume = timelineNext_;
        uttAudio_.clear();
        lastPartial_.clear();
        {
            std::lock_guard g(lock_);
            inSpeech_ = false;
        }
        ps_start_utt(decoder_);
        refedFrom_ = timelineSample;
        refeeding_ = true;
        int64_t at = timelineSample;
        for (std::size_t off = 0; off < audio.size(); off += preset_.chunkSamples) {
            int64_t count = std::min<int64_t>(preset_.chunkSamples, int64_t(audio.size() - off));
            timelineNext_ = at; // so the long-utterance check measures from here
            process(audio.data() + off, count, at);
            at += count;
        }
        refeeding_ = false;
        timelineNext_ = resume;
    }

    struct Piece {
        int64_t decoder;  // first decoder sample of the piece
        int64_t timeline; // its place on the input timeline
    };

    std::shared_ptr<DecoderPool> pool_;
    std::shared_ptr<SpeechTranscriber> module_;
    const Preset preset_;
    std::shared_ptr<AnalyzerInputStream> input_;
    ps_decoder_t* decoder_ = nullptr;
    std::thread worker_;
    std::atomic<bool> cancelled_{false};

    // Worker-only state.
    int64_t decoderSamples_ = 0;
    int64_t timelineNext_ = 0;
    std::vector<Piece> pieces_{{0, 0}};
    std::vector<int16_t> uttAudio_;
    int64_t uttAudioStart_ = 0;
    int64_t sincePartial_ = 0;
    std::string lastPartial_;
    bool refeeding_ = false;
    std::optional<int64_t> refedFrom_; // where the utterance being decoded again begins
    int64_t nextLongCheck_ = 0;

    // Shared with callers, under lock_.
    std::mutex lock_;
    std::condition_variable changed_;
    bool inSpeech_ = false;
    int64_t speechStart_ = 0;
    int64_t fedEnd_ = 0;
    bool started_ = false;
    bool finished_ = false;
    uint64_t requested_ = 0, served_ = 0;
    int64_t settleThrough_ = 0;
};

class SphinxSpeechPlatform final : public SpeechPlatform {
public:
    explicit SphinxSpeechPlatform(std::string modelDir)
        : pool_(std::make_shared<DecoderPool>(files(modelDir), kAccurate)),
          fastPool_(std::make_shared<DecoderPool>(files(modelDir), kFast)) {}

    // en-US in any usual spelling: en-US, en_US, en-us, en_US.UTF-8.
    std::optional<SpeechLocale> supportedLocale(const std::string& id) override {
        std::string s;
        for (char c : id.substr(0, id.find_first_of(".@")))
            s += c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (s == "en-us")
            return SpeechLocale{"en-US"};
        return std::nullopt;
    }

    std::optional<AudioFormat> bestAvailableAudioFormat(const SpeechTranscriber& module) override {
        if (module.locale.identifier != "en-US")
            return std::nullopt;
        return AudioFormat{AudioFormat::Sample::int16, kRate, 1, true};
    }

    std::unique_ptr<SpeechAnalyzer>
    makeAnalyzer(std::shared_ptr<SpeechTranscriber> module) override {
        auto& pool = module->fastResults ? fastPool_ : pool_;
        return std::make_unique<SphinxAnalyzer>(pool, std::move(module));
    }

    AssetStatus status(const SpeechTranscriber& module) override {
        if (module.locale.identifier != "en-US")
            return AssetStatus::unsupported;
        return pool_->files().present() ? AssetStatus::installed : AssetStatus::supported;
    }

    std::optional<SpeechError>
    assetInstallationRequest(const SpeechTranscriber& module,
                             std::shared_ptr<AssetInstallationRequest>& out) override {
        out.reset();
        if (status(module) != AssetStatus::supported)
            return std::nullopt;
        // Models come from the system's packages, never from the network.
        return SpeechError{"the " + module.locale.identifier +
                           " speech model is not installed: install the Debian package " +
                           kPackage};
    }

    void reserve(const SpeechLocale& locale) override {
        if (locale.identifier == "en-US")
            pool_->reserve();
    }

private:
    static ModelFiles files(const std::string& modelDir) {
        return {modelDir + "/en-us/en-us", modelDir + "/en-us/en-us.lm.bin",
                modelDir + "/en-us/cmudict-en-us.dict"};
    }

    // Model preparation reserves the accurate preset; a first fast session
    // loads its own decoder.
    std::shared_ptr<DecoderPool> pool_, fastPool_;
};

} // namespace

std::unique_ptr<SpeechPlatform> makeSphinxSpeechPlatform(std::string modelDir) {
    return std::make_unique<SphinxSpeechPlatform>(modelDir.empty() ? ZORVA_SPHINX_MODELDIR
                                                                   : std::move(modelDir));
}

} // namespace zorva
