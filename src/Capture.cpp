#include "Capture.h"

#include <cstdio>
#include <cstring>

namespace zorva {

// ---------------------------------------------------------------- microphone

MicCapture::MicCapture(std::unique_ptr<AudioEngine> engine, BufferCallback onBuffer,
                       std::function<void(const std::string&)> onRestartFailed)
    : engine_(std::move(engine)), onBuffer_(std::move(onBuffer)),
      onRestartFailed_(std::move(onRestartFailed)) {}

std::variant<MicInfo, CaptureError> MicCapture::start() {
    const AudioFormat format = engine_->inputFormat();
    if (!(format.sampleRate > 0) || format.channels == 0)
        return CaptureError{kNoInputDescription};
    // The tap block only checks that we still exist and hands the engine's
    // buffer on: no copy, no allocation on the audio thread.
    std::weak_ptr<MicCapture> weak = weak_from_this();
    engine_->installTap(4800, format, [weak](const PcmBuffer& buffer) {
        if (auto self = weak.lock(); self && self->onBuffer_)
            self->onBuffer_(buffer);
    });
    tapped_ = true;
    engine_->prepare();
    if (auto error = engine_->start())
        return CaptureError{*error};
    observe();
    return MicInfo{"default input", format.sampleRate, false};
}

void MicCapture::observe() {
    if (observer_)
        engine_->removeConfigurationObserver(*observer_);
    std::weak_ptr<MicCapture> weak = weak_from_this();
    observer_ = engine_->addConfigurationObserver([weak] {
        if (auto self = weak.lock())
            self->configurationChanged();
    });
}

void MicCapture::stop() {
    if (observer_) {
        engine_->removeConfigurationObserver(*observer_);
        observer_.reset();
    }
    engine_->stop();
    if (tapped_) {
        engine_->removeTap();
        tapped_ = false;
    }
}

void MicCapture::configurationChanged() {
    // A notification queued before stop finds no observer and does nothing.
    if (!observer_)
        return;
    stop();
    auto result = start();
    auto* error = std::get_if<CaptureError>(&result);
    if (!error) {
        restartFailureReported_ = false;
        return;
    }
    // The microphone is gone for now (no source, no server): stay stopped,
    // say so once, and keep listening for the change that brings it back.
    stop();
    observe();
    if (!restartFailureReported_ && onRestartFailed_)
        onRestartFailed_(error->description);
    restartFailureReported_ = true;
}

// ---------------------------------------------------------------- tap

std::string TapError::description() const {
    char code[5] = {};
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((static_cast<uint32_t>(status) >> (24 - 8 * i)) & 0xFF);
        code[i] = (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    char text[160];
    std::snprintf(text, sizeof text, "%s failed with status %d ('%s')", step.c_str(),
                  static_cast<int>(status), code);
    return text;
}

std::optional<AudioFormat> formatFromStreamDescription(const AudioStreamBasicDescription& asbd) {
    if (asbd.formatID != kAudioFormatLinearPCM || !(asbd.sampleRate > 0) ||
        asbd.channelsPerFrame == 0)
        return std::nullopt;
    AudioFormat f;
    f.sampleRate = asbd.sampleRate;
    f.channels = asbd.channelsPerFrame;
    f.interleaved = (asbd.formatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
    const bool isFloat = (asbd.formatFlags & kAudioFormatFlagIsFloat) != 0;
    if (isFloat && asbd.bitsPerChannel == 32)
        f.sample = AudioFormat::Sample::float32;
    else if (!isFloat && asbd.bitsPerChannel == 16)
        f.sample = AudioFormat::Sample::int16;
    else if (!isFloat && asbd.bitsPerChannel == 32)
        f.sample = AudioFormat::Sample::int32;
    else
        return std::nullopt;
    return f;
}

TapCapture::TapCapture(AudioHardware& hardware, BufferCallback onBuffer,
                       std::function<std::string()> makeUUID)
    : hardware_(hardware), onBuffer_(std::move(onBuffer)), makeUUID_(std::move(makeUUID)) {}

TapCapture::~TapCapture() {
    stop();
}

std::variant<OthersInfo, TapError>
TapCapture::start(std::optional<std::vector<AudioObjectID>> objectIDs,
                  std::vector<std::string> bundleIDs, std::vector<int32_t> pids,
                  std::vector<AudioObjectID> excluding) {
    TapDescription d;
    if (objectIDs) {
        d.mode = TapDescription::Mode::monoMixdownOfProcesses;
        d.processes = std::move(*objectIDs);
        d.bundleIDs = std::move(bundleIDs);
    } else {
        d.mode = TapDescription::Mode::stereoGlobalTapButExcludeProcesses;
        d.processes = std::move(excluding);
    }
    return open(std::move(d), std::move(pids));
}

std::variant<OthersInfo, TapError>
TapCapture::startOutputsOf(std::vector<AudioObjectID> objectIDs) {
    TapDescription d;
    d.mode = TapDescription::Mode::monoMixdownOfProcessOutputs;
    d.processes = std::move(objectIDs);
    return open(std::move(d), {});
}

std::variant<OthersInfo, TapError> TapCapture::open(TapDescription d, std::vector<int32_t> pids) {
    d.name = "Zorva others";
    d.isPrivate = true;
    d.muteBehavior = 0; // the tapped audio still reaches the speakers
    d.processRestoreEnabled = true;
    d.uuid = makeUUID_();
    description_ = d;

    if (OSStatus s = hardware_.createProcessTap(d, tap_))
        return TapError{"AudioHardwareCreateProcessTap", s};
    AudioStreamBasicDescription asbd{};
    uint32_t size = sizeof asbd;
    if (OSStatus s = hardware_.getPropertyData(tap_, AudioProperty::tapFormat, size, &asbd))
        return TapError{"kAudioTapPropertyFormat", s};
    auto format = formatFromStreamDescription(asbd);
    if (!format)
        return TapError{"kAudioTapPropertyFormat", 0};

    AggregateDeviceDescription aggregate;
    aggregate.uid = "app.zorva.tap." + makeUUID_(); // fresh at every start
    aggregate.name = "Zorva tap";
    aggregate.isPrivate = true;
    aggregate.tapAutoStart = true;
    aggregate.taps = {{d.uuid, true}};
    if (OSStatus s = hardware_.createAggregateDevice(aggregate, device_))
        return TapError{"AudioHardwareCreateAggregateDevice", s};

    std::weak_ptr<TapCapture> weak = weak_from_this();
    AudioDeviceIOBlock block = [weak, format = *format](const AudioBufferList& input) {
        auto self = weak.lock();
        if (!self || input.buffers.empty() || format.sample != AudioFormat::Sample::float32)
            return;
        // The cycle's buffers are valid only now: copy into a buffer of our
        // own, never touching a plane that either side does not have.
        const std::size_t samplesPerFrame = format.interleaved ? format.channels : 1;
        const auto frames = static_cast<uint32_t>(input.buffers[0].dataByteSize /
                                                  (samplesPerFrame * sizeof(float)));
        PcmBuffer copy(format, frames);
        copy.setFrameLength(frames);
        auto planes = copy.floatChannelData();
        const std::size_t planeCount = std::min(planes.size(), input.buffers.size());
        for (std::size_t p = 0; p < planeCount; ++p) {
            const AudioBuffer& from = input.buffers[p];
            const std::size_t bytes = std::min<std::size_t>(
                from.dataByteSize, std::size_t(frames) * samplesPerFrame * sizeof(float));
            if (from.data)
                std::memcpy(planes[p], from.data, bytes);
        }
        if (self->onBuffer_)
            self->onBuffer_(copy);
    };
    AudioDeviceIOProcID proc = 0;
    if (OSStatus s =
            hardware_.createIOProcIDWithBlock(device_, "zorva.tap", std::move(block), proc))
        return TapError{"AudioDeviceCreateIOProcIDWithBlock", s};
    ioProc_ = proc;
    if (OSStatus s = hardware_.deviceStart(device_, proc))
        return TapError{"AudioDeviceStart", s};
    return OthersInfo{d.uuid, format->sampleRate, std::move(pids)};
}

void TapCapture::stop() {
    if (device_ != 0) {
        if (ioProc_) {
            hardware_.deviceStop(device_, *ioProc_);
            hardware_.destroyIOProcID(device_, *ioProc_);
        }
        hardware_.destroyAggregateDevice(device_);
    }
    if (tap_ != 0)
        hardware_.destroyProcessTap(tap_);
    tap_ = 0;
    device_ = 0;
    ioProc_.reset();
}

} // namespace zorva
