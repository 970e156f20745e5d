#include "SelfTest.h"

#include "platform/EchoCanceller.h"

#include <algorithm>
#include <cmath>
#include <thread>
#include <unistd.h>

namespace zorva {

std::optional<SelfTestRequest> selfTestRequest(const std::vector<std::string>& arguments) {
    auto find = [&](const char* flag) -> std::optional<std::string> {
        for (std::size_t i = 0; i < arguments.size(); ++i)
            if (arguments[i] == flag)
                return i + 1 < arguments.size() ? std::optional(arguments[i + 1]) : std::nullopt;
        return std::nullopt;
    };
    // Only the first occurrence of each switch counts; the value after it is
    // taken whatever it looks like.
    auto path = find("--transcribe-file");
    if (!path)
        return std::nullopt;
    return SelfTestRequest{*path, find("--locale").value_or("en-IN"), find("--echo-reference")};
}

void note(const std::string& text) {
    std::string line = "selftest: " + text + "\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
}

int transcribeFile(const SelfTestRequest& request, TranscriberEnvironment env, const SendFn& send,
                   const std::function<void(const std::string&)>& note,
                   std::chrono::milliseconds pace) {
    std::string openError;
    auto file = AudioFileReader::open(request.path, openError);
    if (!file) {
        note("cannot open " + request.path + ": " + openError);
        return 1;
    }
    std::unique_ptr<AudioFileReader> reference;
    std::unique_ptr<EchoCanceller> canceller;
    if (request.referencePath) {
        reference = AudioFileReader::open(*request.referencePath, openError);
        if (!reference) {
            note("cannot open " + *request.referencePath + ": " + openError);
            return 1;
        }
        canceller = makeEchoCanceller(StillClock::instance());
    }
    auto locale = resolveLocale(env.speech, request.localeId);
    if (!locale) {
        note("no supported locale for " + request.localeId);
        return 1;
    }
    auto probe = StreamTranscriber::makeTranscriber(*locale, /*fast=*/true);
    note("locale " + locale->identifier + ", assets " + toString(env.speech.status(*probe)));
    auto best = env.speech.bestAvailableAudioFormat(*probe);
    note("analyzer format " + (best ? best->description() : std::string("nil")));
    const AudioFormat& format = file->processingFormat();
    note("file " + format.description() + ", " + std::to_string(file->length()) + " frames");

    const Clock& clock = env.clock;
    auto transcriber =
        std::make_shared<StreamTranscriber>(StreamName::mic, "selftest", clock.now(), send, env);
    if (auto error = transcriber->start(*locale, /*fast=*/true)) {
        note("start failed: " + error->description);
        return 1;
    }
    const auto chunk = static_cast<uint32_t>(format.sampleRate / 10);
    int64_t fed = 0;
    // A file that fails part-way is transcribed as far as it goes, but the
    // run must not look like a success.
    std::optional<std::string> failure;
    int64_t framesRead = 0;
    int64_t refGiven = 0;
    while (file->framePosition() < file->length() && chunk > 0) {
        PcmBuffer buffer(format, chunk);
        if (auto error = file->read(buffer, chunk)) {
            note("read failed: " + *error);
            failure = "read failed: " + *error;
            break;
        }
        if (buffer.frameLength() == 0) {
            failure = "the file ended after " + std::to_string(framesRead) + " of its " +
                      std::to_string(file->length()) + " frames";
            break;
        }
        framesRead += buffer.frameLength();
        if (canceller) {
            // Both files start together: the reference up to the end of
            // this buffer arrives first.
            const AudioFormat& refFormat = reference->processingFormat();
            const int64_t refDue =
                std::llround(double(framesRead) / format.sampleRate * refFormat.sampleRate);
            const auto refFrames = static_cast<uint32_t>(std::max<int64_t>(0, refDue - refGiven));
            refGiven += refFrames;
            PcmBuffer played(refFormat, std::max(refFrames, 1u));
            if (refFrames > 0 && reference->framePosition() < reference->length()) {
                if (auto error = reference->read(played, refFrames)) {
                    note("reading the reference failed: " + *error);
                    failure = "reading the reference failed: " + *error;
                    break;
                }
            }
            if (played.frameLength() < refFrames) { // the reference ended: silence
                for (float* plane : played.floatChannelData())
                    std::fill(plane + played.frameLength(), plane + refFrames, 0.0f);
                played.setFrameLength(refFrames);
            }
            if (refFrames > 0)
                canceller->addReference(played);
            transcriber->feed(canceller->process(buffer));
        } else {
            transcriber->feed(buffer);
        }
        ++fed;
        std::this_thread::sleep_until(std::chrono::steady_clock::now() + pace);
    }
    note("fed " + std::to_string(fed) + " buffers; finishing");
    transcriber->finish();
    if (failure) {
        note("incomplete: " + *failure + "; the text covers the audio read before it");
        return 1;
    }
    note("done");
    return 0;
}

} // namespace zorva
