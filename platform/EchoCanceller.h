// Removes from the microphone what the speakers play: the far side of a call
// heard again through the room. Fed by two capture threads, the microphone's
// and the reference's (what the speakers play), each as its audio arrives:
// the two are lined up by what has arrived of each when the microphone's
// buffer does.
#pragma once

#include "Audio.h"
#include "Clock.h"

#include <memory>

namespace zorva {

class EchoCanceller {
public:
    virtual ~EchoCanceller() = default;

    // What the speakers play, as it arrives, in any format. Called on the
    // reference's thread.
    virtual void addReference(const PcmBuffer& buffer) = 0;

    // The microphone's next buffer, as it arrives; returns the same audio
    // with the echo removed, 16 kHz mono float, valid until the next call
    // (less than 10 ms of it may wait for the next call). Called on the
    // microphone's thread.
    virtual const PcmBuffer& process(const PcmBuffer& microphone) = 0;

    // The acoustic delay it currently cancels at, in milliseconds; -1 before
    // the echo has been found.
    virtual int delayMs() const = 0;
};

// Speex's linear filter, then WebRTC's canceller, with a delay search of
// their own over 0 to 500 ms. The two streams are lined up by when their
// audio arrives on `clock`.
std::unique_ptr<EchoCanceller> makeEchoCanceller(const Clock& clock = continuousClock());

} // namespace zorva
