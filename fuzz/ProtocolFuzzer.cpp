// Feeds arbitrary bytes to the host-line decoder, and as text to the encoder,
// checking that every encoded line is one valid JSON object that reads back.
#include "Protocol.h"

#include <cstdlib>
#include <nlohmann/json.hpp>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    (void)zorva::decodeAppLine(bytes);

    std::string text(bytes);
    std::string line = zorva::encodeLine(
        zorva::FinalText{"s", zorva::StreamName::mic, text, 0, static_cast<int64_t>(size), -1});
    if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1)
        std::abort();
    auto parsed = nlohmann::json::parse(line, nullptr, false);
    if (!parsed.is_object() || !parsed["text"].is_string())
        std::abort();
    // Valid UTF-8 text must come back unchanged (dump() throws on invalid).
    std::string back = parsed["text"];
    bool wasValid = true;
    try {
        (void)nlohmann::json(text).dump();
    } catch (const nlohmann::json::type_error&) {
        wasValid = false;
    }
    if (wasValid && back != text)
        std::abort();
    return 0;
}
