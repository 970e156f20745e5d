// Removes from the microphone what the speakers play: the far side of a call
// heard again through the room. Fed by two capture threads, the microphone's
// and the reference's (what the speakers play), aligned on the wall clock.
#pragma once

#include "Audio.h"
#include "Clock.h"

#include <memory>

namespace zorva {

class EchoCanceller {
public:
    virtual ~EchoCanceller() = default;

    // What the speakers play, as it arrives, in any format; `arrival` is when
    // the buffer's last frame arrived. Called on the reference's thread.
    virtual void addReference(const PcmBuffer& buffer, Instant arrival) = 0;

    // The microphone's next buffer, arriving at `arrival`; returns the same
    // audio with the echo removed, 16 kHz mono float, valid until the next
    // call. Called on the microphone's thread.
    virtual const PcmBuffer& process(const PcmBuffer& microphone, Instant arrival) = 0;

    // The acoustic delay it currently cancels at, in milliseconds; -1 before
    // the echo has been found.
    virtual int delayMs() const = 0;
};

// The WebRTC canceller, with a delay search of its own over 0 to 500 ms.
std::unique_ptr<EchoCanceller> makeEchoCanceller();

} // namespace zorva
