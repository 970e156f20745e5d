// The diagnostic file mode: --transcribe-file PATH [--locale ID]
// [--echo-reference PATH].
#pragma once

#include "Transcriber.h"

#include <optional>
#include <string>
#include <vector>

namespace zorva {

struct SelfTestRequest {
    std::string path;
    std::string localeId;
    // What the speakers played while PATH was recorded: PATH is then
    // echo-cancelled against it, as a session's microphone is.
    std::optional<std::string> referencePath = std::nullopt;
    bool operator==(const SelfTestRequest&) const = default;
};

// The request in an argument list (program path first), if there is one.
std::optional<SelfTestRequest> selfTestRequest(const std::vector<std::string>& arguments);

// Transcribes the file at live pace through one StreamTranscriber, writing
// notes through `note` and text through the transcriber's `send`. Returns the
// exit status: 1 when the file, locale or transcriber cannot be used.
int transcribeFile(const SelfTestRequest& request, TranscriberEnvironment env, const SendFn& send,
                   const std::function<void(const std::string&)>& note,
                   std::chrono::milliseconds pace = std::chrono::milliseconds(100));

// One "selftest: " line on standard error, in a single write.
void note(const std::string& text);

} // namespace zorva
