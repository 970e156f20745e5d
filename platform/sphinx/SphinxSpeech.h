// On-device speech recognition with PocketSphinx (the 5prealpha library that
// Debian 12 ships) and Debian's en-US model.
#pragma once

#include "platform/Speech.h"

#include <memory>
#include <string>

namespace zorva {

// `modelDir` holds en-us/en-us (acoustic model), en-us/en-us.lm.bin and
// en-us/cmudict-en-us.dict; by default the directory the package installs.
std::unique_ptr<SpeechPlatform> makeSphinxSpeechPlatform(std::string modelDir = {});

} // namespace zorva
