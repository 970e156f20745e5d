#include "SphinxSpeech.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <pocketsphinx.h>
#include <sphinxbase/ckd_alloc.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/fe.h>
#include <sphinxbase/feat.h>
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
// one skips the flat-lexicon pass (the costly one), keeps the best-path pass
// (a cheap search of the first pass's word lattice, which took a tenth of the
// word errors off accented speech at no measurable CPU), ends utterances after
// a shorter silence and lets fewer words end in a frame and fewer HMMs stay
// active (about half the CPU; narrower beams lost many words). Both look 3
// frames ahead rather than 5: words show about half as late, at the same
// accuracy.
struct Preset {
    const char* fwdflat;
    const char* bestpath;
    int postspeechFrames;        // silence that ends an utterance, 10 ms frames
    const char* wordsPerFrame;   // at most this many words may end in a frame (-1: any)
    const char* hmmsPerFrame;    // at most this many HMMs active in a frame
    const char* lookaheadFrames; // phone-loop lookahead, which delays every hypothesis
    int64_t chunkSamples;        // audio fed to the decoder at a time
};
constexpr Preset kAccurate{"yes", "yes", 40, "-1", "30000", "3", kRate / 10};
constexpr Preset kFast{"no", "yes", 30, "10", "5000", "3", kRate / 20};
// Partials are 170 ms apart at least: the reporter drops those within 160 ms.
constexpr int64_t kPartialGapSamples = kRate * 17 / 100;
constexpr int64_t kLongestUtteranceSamples = 20 * kRate;
constexpr int64_t kSettleBackSamples = 2 * kRate;
// The voice detector starts its noise estimate at a twentieth of the first
// frame's power (ln 20 = 3.0), so with its default threshold (2.0) a steady
// noise floor at the start of a stream reads as speech for about a second.
// Above 3.0 it does not; 3.5 leaves room for the floor's own ripple.
const char* const kVoiceThreshold = "3.5";
// Speech the detector needs to speak up, in 10 ms frames.
constexpr int kStartFrames = 10;
// How much the model's own cepstral mean weighs when a stream starts, in
// frames of audio: enough to steady the first few frames, little enough that
// the speaker's own mean takes over within a word or two.
constexpr int kMeanPriorFrames = 30;
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
    // A stream starts from the model's cepstral mean, whatever the decoder
    // heard before: results do not depend on which decoder a stream gets.
    void resetMean(ps_decoder_t* d) {
        cmn_t* cmn = ps_get_feat(d)->cmn_struct;
        std::lock_guard g(lock_);
        for (int i = 0; i < cmn->veclen; ++i) {
            cmn->cmn_mean[i] = initialMean_[static_cast<std::size_t>(i)];
            cmn->sum[i] = cmn->cmn_mean[i] * kMeanPriorFrames;
        }
        cmn->nframe = kMeanPriorFrames;
    }
    // A frontend that only tells speech from silence: the model's own
    // analysis parameters, with the voice detector set for this preset.
    fe_t* makeSegmenter() const {
        static const arg_t args[] = {waveform_to_cepstral_command_line_macro(),
                                     {nullptr, 0, nullptr, nullptr}};
        const std::string startspeech = std::to_string(kStartFrames);
        const std::string postspeech = std::to_string(preset_.postspeechFrames);
        cmd_ln_t* config =
            cmd_ln_init(nullptr, args, FALSE, "-remove_silence", "yes", "-vad_threshold",
                        kVoiceThreshold, "-vad_startspeech", startspeech.c_str(), "-vad_postspeech",
                        postspeech.c_str(), nullptr);
        if (!config)
            return nullptr;
        if (cmd_ln_parse_file_r(config, args, (files_.hmm + "/feat.params").c_str(), FALSE) ==
            nullptr) {
            cmd_ln_free_r(config);
            return nullptr;
        }
        fe_t* fe = fe_init_auto_r(config);
        cmd_ln_free_r(config);
        return fe;
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
            preset_.bestpath, "-maxwpf", preset_.wordsPerFrame, "-maxhmmpf", preset_.hmmsPerFrame,
            "-pl_window", preset_.lookaheadFrames, "-remove_silence", "no", nullptr);
        if (!config)
            return nullptr;
        ps_decoder_t* d = ps_init(config);
        cmd_ln_free_r(config);
        std::lock_guard g(lock_);
        if (d && initialMean_.empty()) {
            cmn_t* cmn = ps_get_feat(d)->cmn_struct;
            initialMean_.resize(static_cast<std::size_t>(cmn->veclen));
            cmn_live_get(cmn, initialMean_.data());
        }
        return d;
    }

    ModelFiles files_;
    Preset preset_;
    std::mutex lock_;
    std::vector<ps_decoder_t*> free_;
    std::vector<mfcc_t> initialMean_; // the model's, as loaded
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
        if (segmenter_)
            fe_free(segmenter_);
        if (segmenterOut_)
            ckd_free_2d(segmenterOut_);
    }

    std::optional<SpeechError> start(std::shared_ptr<AnalyzerInputStream> input) override {
        decoder_ = pool_->take();
        if (!decoder_)
            return SpeechError{"cannot load the en-US speech model from " + pool_->files().hmm +
                               " (install the Debian package " + kPackage + ")"};
        segmenter_ = pool_->makeSegmenter();
        if (!segmenter_) {
            pool_->give(decoder_);
            decoder_ = nullptr;
            return SpeechError{"cannot read the speech model's parameters in " +
                               pool_->files().hmm + " (reinstall the Debian package " + kPackage +
                               ")"};
        }
        segmenterOut_ = static_cast<mfcc_t**>(ckd_calloc_2d(
            kSegmenterFrames, static_cast<size_t>(fe_get_output_size(segmenter_)), sizeof(mfcc_t)));
        fe_start_stream(segmenter_);
        fe_start_utt(segmenter_);
        input_ = std::move(input);
        pool_->resetMean(decoder_);
        ps_start_stream(decoder_);
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
    // ---- the worker thread owns the decoder and the segmenter
    //
    // The segmenter is a frontend of its own that only tells speech from
    // silence, frame by frame, over all the audio; the decoder hears only
    // utterances, every frame of them (its own silence removal is off). So
    // where an utterance begins and ends, and where each of its frames lies
    // on the timeline, is known here exactly, and an utterance can be cut
    // and decoded again from any word gap.

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
            endUtterance(decodedTo_);
        else if (inSpeech_)
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
        maybeReportPartial(); // the words decoded again need not wait for the next buffer
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
            // The input skipped time (audio dropped while the decoder fell
            // behind). What was heard before the gap is settled: an utterance
            // and the audio kept for it are one stretch of the timeline.
            endUtterance(decodedTo_);
            audio_.clear();
            timelineNext_ = segmentedTo_ = start;
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

    // One chunk that starts at timeline sample `at`, through the segmenter
    // frame by frame (on the timeline's 10 ms grid), and what lies in
    // utterances through the decoder.
    void process(const int16_t* samples, int64_t count, int64_t at) {
        if (audio_.empty())
            audioStart_ = at;
        audio_.insert(audio_.end(), samples, samples + count);
        segmentTo(at + count);
        // No decoder may grow without bound: a long utterance is settled at a
        // word gap (at most once a second while no gap is found).
        if (inSpeech_ && at + count - uttStart_ > kLongestUtteranceSamples &&
            at + count >= nextLongCheck_) {
            nextLongCheck_ = at + count + kRate;
            settleAt(at + count - kSettleBackSamples);
        }
        // Out of speech only the last second is kept: the next utterance
        // reaches back into it.
        const int64_t keepFrom = inSpeech_ ? uttStart_ : at + count - kRate;
        if (keepFrom > audioStart_) {
            const auto drop = std::min<std::size_t>(
                audio_.size(), static_cast<std::size_t>(keepFrom - audioStart_));
            audio_.erase(audio_.begin(), audio_.begin() + static_cast<long>(drop));
            audioStart_ += static_cast<int64_t>(drop);
        }
    }

    // Runs the segmenter over the kept audio up to timeline sample `to`,
    // frame by frame on the timeline's 10 ms grid, and the decoder over what
    // lies in utterances a chunk at a time: the speaker's mean is followed
    // after each, also while audio is heard again after a restart.
    void segmentTo(int64_t to) {
        while (segmentedTo_ < to) {
            const int64_t chunkEnd = std::min(to, segmentedTo_ + preset_.chunkSamples);
            while (segmentedTo_ < chunkEnd) {
                const int64_t from = segmentedTo_;
                const int64_t end =
                    std::min(chunkEnd, from + kSamplesPerFrame - from % kSamplesPerFrame);
                const int16_t* samples = audio_.data() + (from - audioStart_);
                segment(samples, end - from, end);
                segmentedTo_ = end;
                if (restartOnQuiet(samples, end - from))
                    break;
            }
            decodeTo(std::min(chunkEnd, segmentedTo_));
        }
    }

    // The segmenter's noise estimate starts from the first frame it hears.
    // A stream that starts mid-sentence has it start from speech, and speech
    // then reads as noise until the speaker's first pause. So while nothing
    // has been heard as speech, a frame in the stream's first second that is
    // 6 dB quieter than a loud first one (a dip between words) starts the
    // segmenter again from that frame, and the stream so far is heard again.
    // A stream that starts in quiet is never restarted.
    bool restartOnQuiet(const int16_t* samples, int64_t count) {
        if (restarted_ || count < kSamplesPerFrame)
            return false;
        double energy = 0;
        for (int64_t i = 0; i < count; ++i)
            energy += double(samples[i]) * samples[i];
        if (energy == 0)
            return false; // exact zeros never reach the segmenter
        const int64_t at = segmentedTo_ - count;
        if (firstSound_ < 0) {
            firstSound_ = at;
            firstEnergy_ = energy;
            restarted_ = energy < kLoudFrameEnergy; // quiet enough to start from
            return false;
        }
        // Past the first second, or past a hole in the input (its audio is gone).
        if (segmentedTo_ - firstSound_ > kRate || firstSound_ < audioStart_) {
            restarted_ = true;
            return false;
        }
        if (energy * kRestartContrast > firstEnergy_)
            return false;
        restarted_ = true;
        fe_t* fresh = pool_->makeSegmenter();
        if (!fresh)
            return false;
        fe_free(segmenter_);
        segmenter_ = fresh;
        fe_start_stream(segmenter_);
        fe_start_utt(segmenter_);
        // Its first frames are this one, over and over.
        std::array<int16_t, 3 * kSamplesPerFrame> quiet{};
        for (std::size_t i = 0; i < quiet.size(); ++i)
            quiet[i] = samples[i % kSamplesPerFrame];
        const int16_t* in = quiet.data();
        size_t n = quiet.size();
        int32 frames = kSegmenterFrames;
        fe_process_frames(segmenter_, &in, &n, segmenterOut_, &frames, nullptr);
        segmentedTo_ = firstSound_;
        return true;
    }

    // One frame's worth of new audio, ending at timeline sample `end`.
    // Stretches of exact zeros (what a tap delivers while nothing plays) do
    // not reach the segmenter: they would drive its noise estimate to zero,
    // and it would then take any noise floor that follows for speech. They
    // still end an utterance, as silence would.
    void segment(const int16_t* samples, int64_t count, int64_t end) {
        if (std::all_of(samples, samples + count, [](int16_t v) { return v == 0; })) {
            zerosInSpeech_ += count;
            if (inSpeech_ && zerosInSpeech_ >= preset_.postspeechFrames * kSamplesPerFrame)
                endUtterance(end);
            return;
        }
        zerosInSpeech_ = 0;
        size_t n = static_cast<size_t>(count);
        int32 frames = kSegmenterFrames;
        fe_process_frames(segmenter_, &samples, &n, segmenterOut_, &frames, nullptr);
        const bool speech = fe_get_vad_state(segmenter_) != 0;
        if (speech && !inSpeech_) {
            // The detector speaks up some frames into the speech: the
            // utterance begins a little before they did, but never inside
            // the last one.
            const int64_t reach = (kStartFrames + kPreRollFrames) * kSamplesPerFrame;
            int64_t from = std::max({end - reach, lastEnd_, audioStart_});
            from += (kSamplesPerFrame - from % kSamplesPerFrame) % kSamplesPerFrame;
            // Speech from the first moment of a stretch (a stream that starts
            // mid-sentence) has nothing before it: the decoder hears silence
            // first, as it would have after a pause. Without it the first
            // word is misheard half the time.
            const int64_t missing = from == audioStart_ ? audioStart_ - (end - reach) : 0;
            beginUtterance(std::min(from, end), missing / kSamplesPerFrame);
        } else if (!speech && inSpeech_) {
            endUtterance(end);
        }
    }

    void beginUtterance(int64_t from, int64_t silentFrames = 0) {
        ps_start_utt(decoder_);
        leadFrames_ = std::max<int64_t>(0, silentFrames);
        if (leadFrames_ > 0) {
            // At most the pre-roll's reach is ever missing.
            static const std::array<int16_t, (kStartFrames + kPreRollFrames) * kSamplesPerFrame>
                silence{};
            leadFrames_ = std::min<int64_t>(leadFrames_, kStartFrames + kPreRollFrames);
            ps_process_raw(decoder_, silence.data(),
                           static_cast<size_t>(leadFrames_ * kSamplesPerFrame), FALSE, FALSE);
        }
        uttStart_ = decodedTo_ = from;
        nextLongCheck_ = 0;
        restarted_ = true; // speech was found: the segmenter is never restarted
        {
            std::lock_guard g(lock_);
            inSpeech_ = true;
            speechStart_ = from;
        }
        // The first words of an utterance may show at once: the last
        // utterance ended with a final, which resets the throttle.
        sincePartial_ = kPartialGapSamples;
    }

    // Decodes the kept audio of the running utterance up to timeline sample `to`.
    void decodeTo(int64_t to) {
        if (!inSpeech_ || to <= decodedTo_)
            return;
        const auto* from = audio_.data() + (decodedTo_ - audioStart_);
        ps_process_raw(decoder_, from, static_cast<size_t>(to - decodedTo_), FALSE, FALSE);
        sincePartial_ += to - decodedTo_;
        decodedTo_ = to;
        followSpeakerMean();
    }

    // The decoder updates its cepstral mean only when an utterance ends, so a
    // stream's first utterance would be heard through the model's generic
    // mean alone. The mean of what it has heard so far is taken after every
    // chunk instead: within a word or two it fits this speaker and channel.
    void followSpeakerMean() {
        cmn_t* cmn = ps_get_feat(decoder_)->cmn_struct;
        if (cmn->nframe <= 0)
            return;
        for (int i = 0; i < cmn->veclen; ++i)
            cmn->cmn_mean[i] = cmn->sum[i] / static_cast<mfcc_t>(cmn->nframe);
    }

    // The running utterance's words, on the timeline. Its frames are the
    // silence put before it and then the audio decoded since uttStart_,
    // counted from the first segment's.
    std::vector<Word> words() {
        std::vector<Word> out;
        std::optional<int> origin;
        for (ps_seg_t* seg = ps_seg_iter(decoder_); seg; seg = ps_seg_next(seg)) {
            int sf = 0, ef = 0;
            ps_seg_frames(seg, &sf, &ef);
            if (!origin)
                origin = sf;
            std::string w = cleanWord(ps_seg_word(seg));
            if (w.empty())
                continue;
            const int64_t start = std::max<int64_t>(sf - *origin - leadFrames_, 0);
            const int64_t end = std::max<int64_t>(ef + 1 - *origin - leadFrames_, start + 1);
            out.push_back(
                {w, uttStart_ + start * kSamplesPerFrame, uttStart_ + end * kSamplesPerFrame});
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
                                                             samplesToTime(decodedTo_)),
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

    // Ends the decoder's utterance and gives its words after the rescoring
    // passes. When the best-path search finds no path through the word
    // lattice (it happens, more often without the flat-lexicon pass) its
    // answer is empty: the first pass's words stand instead, never nothing.
    std::vector<Word> endDecoderUtterance() {
        auto firstPass = words();
        ps_end_utt(decoder_);
        auto ws = words();
        return ws.empty() ? firstPass : ws;
    }

    // A speech-to-silence edge at timeline sample `end`, or the end of input:
    // everything so far is final.
    void endUtterance(int64_t end) {
        if (!inSpeech_)
            return;
        decodeTo(end);
        auto ws = endDecoderUtterance();
        emitFinal(ws, ws.size());
        lastPartial_.clear();
        lastEnd_ = decodedTo_;
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
        through = std::min(through, decodedTo_);
        auto lastGapBefore = [&](const std::vector<Word>& ws) {
            std::size_t count = 0;
            while (count < ws.size() && ws[count].end <= through)
                ++count;
            return count;
        };
        if (lastGapBefore(words()) == 0)
            return; // no gap yet: the utterance goes on untouched
        auto ws = endDecoderUtterance();
        const std::size_t count = lastGapBefore(ws);
        emitFinal(ws, count);
        lastPartial_.clear();
        const int64_t heard = decodedTo_;
        beginUtterance(count ? ws[count - 1].end : uttStart_);
        decodeTo(heard);
    }

    static constexpr int kPreRollFrames = 40; // what an utterance keeps before the detector's start
    static constexpr int32 kSegmenterFrames = 64;
    static constexpr double kRestartContrast = 4; // 6 dB
    // A 10 ms frame at -40 dBFS.
    static constexpr double kLoudFrameEnergy = kSamplesPerFrame * 327.68 * 327.68;

    std::shared_ptr<DecoderPool> pool_;
    std::shared_ptr<SpeechTranscriber> module_;
    const Preset preset_;
    std::shared_ptr<AnalyzerInputStream> input_;
    ps_decoder_t* decoder_ = nullptr;
    fe_t* segmenter_ = nullptr;
    mfcc_t** segmenterOut_ = nullptr;
    std::thread worker_;
    std::atomic<bool> cancelled_{false};

    // Worker-only state; positions are timeline samples.
    int64_t timelineNext_ = 0;
    std::vector<int16_t> audio_; // kept for the running or next utterance
    int64_t audioStart_ = 0;
    int64_t uttStart_ = 0;   // where the decoder's running utterance begins
    int64_t leadFrames_ = 0; // silence the decoder heard before it
    int64_t decodedTo_ = 0;  // how far it has been fed
    int64_t lastEnd_ = 0;    // where the last utterance ended
    int64_t zerosInSpeech_ = 0;
    int64_t segmentedTo_ = 0; // how far the segmenter has heard
    int64_t firstSound_ = -1; // the stream's first frame that is not exact zeros
    double firstEnergy_ = 0;
    bool restarted_ = false; // the segmenter was restarted, or can no longer be
    int64_t sincePartial_ = 0;
    std::string lastPartial_;
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
