// Feeds a byte stream to the host-line framer in random pieces and checks
// every event against a plain split of the whole stream: the same lines in
// the same order, "\r\n" and "\n" both ending a line, over-long lines reported
// once each, whatever the piece sizes. Each line then goes to the decoder.
#include "Protocol.h"
#include "Transport.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using zorva::LineFramer;

std::vector<LineFramer::Event> plainSplit(std::string_view s, std::size_t limit) {
    std::vector<LineFramer::Event> out;
    auto add = [&](std::string line) {
        if (line.size() > limit)
            out.push_back({LineFramer::Kind::oversized, {}});
        else
            out.push_back({LineFramer::Kind::line, std::move(line)});
    };
    std::size_t pos = 0;
    for (;;) {
        std::size_t nl = s.find('\n', pos);
        if (nl == std::string_view::npos) {
            if (pos < s.size())
                add(std::string(s.substr(pos)));
            break;
        }
        std::string line(s.substr(pos, nl - pos));
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        add(std::move(line));
        pos = nl + 1;
    }
    out.push_back({LineFramer::Kind::end, {}});
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    // The first byte picks the limit (small, so that inputs reach it), the
    // second seeds the piece sizes.
    const std::size_t limit = data[0] & 0x80 ? zorva::kMaxLineBytes : 1 + data[0] % 64;
    uint32_t rng = data[1] * 2654435761u + 1;
    std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);

    LineFramer framer(limit);
    std::vector<LineFramer::Event> got;
    std::string_view rest = stream;
    while (!rest.empty()) {
        rng ^= rng << 13;
        rng ^= rng >> 17;
        rng ^= rng << 5;
        std::size_t piece = 1 + rng % (rng & 1 ? 7 : 300);
        std::string_view bytes = rest.substr(0, piece);
        rest.remove_prefix(bytes.size());
        while (auto event = framer.take(bytes))
            got.push_back(std::move(*event));
        if (!bytes.empty())
            std::abort(); // take() must consume everything it was given
    }
    for (;;) {
        got.push_back(framer.finish());
        if (got.back().kind == LineFramer::Kind::end)
            break;
    }
    auto want = plainSplit(stream, limit);
    if (got.size() != want.size())
        std::abort();
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (got[i].kind != want[i].kind || got[i].text != want[i].text)
            std::abort();
        if (got[i].kind == LineFramer::Kind::line)
            (void)zorva::decodeAppLine(got[i].text);
    }
    return 0;
}
