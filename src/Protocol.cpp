#include "Protocol.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace zorva {

namespace {

// ---------------------------------------------------------------- writing

// Appends compact JSON to one string. Callers emit keys in ascending byte
// order themselves: every record has a fixed key set, so the order is settled
// once per record below instead of sorting at run time.
class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}

    void open() {
        out_ += '{';
        first_ = true;
    }
    void close() {
        out_ += '}';
        first_ = false;
    }
    void key(std::string_view name) {
        if (!first_)
            out_ += ',';
        first_ = false;
        out_ += '"';
        out_ += name; // protocol keys are plain ASCII letters
        out_ += "\":";
    }

    void string(std::string_view s);
    void integer(int64_t v) {
        char buf[24];
        auto res = std::to_chars(buf, buf + sizeof buf, v);
        out_.append(buf, res.ptr);
    }
    // False when the value cannot be written (not finite).
    bool number(double v);
    void boolean(bool v) { out_ += v ? "true" : "false"; }
    void integers(const std::vector<int32_t>& values) {
        out_ += '[';
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i)
                out_ += ',';
            integer(values[i]);
        }
        out_ += ']';
    }

    template <typename T> void field(std::string_view name, const T& value) {
        key(name);
        if constexpr (std::is_same_v<T, bool>)
            boolean(value);
        else if constexpr (std::is_integral_v<T>)
            integer(value);
        else
            string(value);
    }
    bool numberField(std::string_view name, double v) {
        key(name);
        return number(v);
    }
    void type(std::string_view name) {
        key("type");
        string(name);
    }

private:
    std::string& out_;
    bool first_ = true;
};

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not valid
// (overlong forms, surrogates and code points above U+10FFFF are invalid).
std::size_t validUtf8Length(std::string_view s, std::size_t i) {
    auto byte = [&](std::size_t k) -> unsigned {
        return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0u;
    };
    auto cont = [&](std::size_t k) { return (byte(k) & 0xC0u) == 0x80u; };
    unsigned b0 = byte(0);
    if (b0 >= 0xC2 && b0 <= 0xDF)
        return cont(1) ? 2 : 0;
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        unsigned b1 = byte(1);
        if (b0 == 0xE0 && b1 < 0xA0)
            return 0;
        if (b0 == 0xED && b1 > 0x9F)
            return 0;
        return cont(1) && cont(2) ? 3 : 0;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        unsigned b1 = byte(1);
        if (b0 == 0xF0 && b1 < 0x90)
            return 0;
        if (b0 == 0xF4 && b1 > 0x8F)
            return 0;
        return cont(1) && cont(2) && cont(3) ? 4 : 0;
    }
    return 0;
}

void Writer::string(std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    out_ += '"';
    std::size_t run = 0; // start of the pending stretch that needs no escaping
    std::size_t i = 0;
    auto flush = [&] { out_.append(s.data() + run, i - run); };
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0x80) {
            if (std::size_t n = validUtf8Length(s, i)) {
                i += n;
                continue;
            }
            // Text from the system (process names, file contents) can hold
            // invalid bytes; the host must still receive valid UTF-8.
            flush();
            out_ += "\xEF\xBF\xBD";
            run = ++i;
            continue;
        }
        flush();
        switch (c) {
        case '"':
            out_ += "\\\"";
            break;
        case '\\':
            out_ += "\\\\";
            break;
        case '\n':
            out_ += "\\n";
            break;
        case '\r':
            out_ += "\\r";
            break;
        case '\t':
            out_ += "\\t";
            break;
        case '\b':
            out_ += "\\b";
            break;
        case '\f':
            out_ += "\\f";
            break;
        default:
            out_ += "\\u00";
            out_ += hex[c >> 4];
            out_ += hex[c & 0xF];
        }
        run = ++i;
    }
    flush();
    out_ += '"';
}

bool Writer::number(double v) {
    if (!std::isfinite(v))
        return false;
    // Whole values below 2^53 are exact integers: write them without a
    // fraction or exponent, as a bare integer (a sample rate of 48000 -> 48000).
    constexpr double exactLimit = 9007199254740992.0;
    if (std::trunc(v) == v && std::fabs(v) < exactLimit && !(v == 0 && std::signbit(v))) {
        integer(static_cast<int64_t>(v));
        return true;
    }
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, v); // shortest round-trip form
    out_.append(buf, res.ptr);
    return true;
}

std::string_view toString(Call::State v) {
    return v == Call::State::started ? "started" : "ended";
}
std::string_view toString(Call::Reason v) {
    return v == Call::Reason::micReleased ? "mic-released" : "app-quit";
}
std::string_view toString(Capture::State v) {
    return v == Capture::State::started ? "started" : "stopped";
}
std::string_view toString(Permission::Kind v) {
    return v == Permission::Kind::microphone ? "microphone" : "systemAudio";
}
std::string_view toString(Permission::Status v) {
    switch (v) {
    case Permission::Status::granted:
        return "granted";
    case Permission::Status::denied:
        return "denied";
    case Permission::Status::notDetermined:
        return "notDetermined";
    }
    return "";
}
std::string_view toString(HelperError::Code v) {
    switch (v) {
    case HelperError::Code::tapFailed:
        return "tap-failed";
    case HelperError::Code::engineFailed:
        return "engine-failed";
    case HelperError::Code::modelUnsupported:
        return "model-unsupported";
    case HelperError::Code::transcriberFailed:
        return "transcriber-failed";
    case HelperError::Code::permissionDenied:
        return "permission-denied";
    case HelperError::Code::protocol:
        return "protocol";
    }
    return "";
}

// Each write() puts one record's keys in ascending order, "type" last.
// It returns false when a number cannot be written.

bool write(Writer& w, const Hello& m) {
    w.field("helperVersion", m.helperVersion);
    w.field("macos", m.macos);
    w.field("pid", m.pid);
    w.field("protocol", m.protocol);
    w.type("hello");
    return true;
}

bool write(Writer& w, const Model& m) {
    w.field("locale", m.locale);
    bool ok = w.numberField("progress", m.progress);
    w.field("status", toString(m.status));
    w.type("model");
    return ok;
}

bool write(Writer& w, const Call& m) {
    w.field("app", m.app);
    w.field("bundleId", m.bundleId);
    w.key("pids");
    w.integers(m.pids);
    if (m.reason)
        w.field("reason", toString(*m.reason));
    if (m.sinceMicStartMs)
        w.field("sinceMicStartMs", *m.sinceMicStartMs);
    w.field("state", toString(m.state));
    w.field("t", m.t);
    w.type("call");
    return true;
}

bool write(Writer& w, const MicInfo& m) {
    w.open();
    w.field("device", m.device);
    bool ok = w.numberField("sampleRate", m.sampleRate);
    w.field("voiceProcessing", m.voiceProcessing);
    w.close();
    return ok;
}

bool write(Writer& w, const OthersInfo& m) {
    w.open();
    w.key("processes");
    w.integers(m.processes);
    bool ok = w.numberField("sampleRate", m.sampleRate);
    w.field("tapUID", m.tapUID);
    w.close();
    return ok;
}

bool write(Writer& w, const Capture& m) {
    bool ok = true;
    if (m.mic) {
        w.key("mic");
        ok = write(w, *m.mic) && ok;
    }
    if (m.others) {
        w.key("others");
        ok = write(w, *m.others) && ok;
    }
    w.field("sessionId", m.sessionId);
    w.field("state", toString(m.state));
    w.type("capture");
    return ok;
}

bool write(Writer& w, const FinalText& m) {
    w.field("endMs", m.endMs);
    w.field("finalizedAtMs", m.finalizedAtMs);
    w.field("sessionId", m.sessionId);
    w.field("startMs", m.startMs);
    w.field("stream", toString(m.stream));
    w.field("text", m.text);
    w.type("final");
    return true;
}

bool write(Writer& w, const PartialText& m) {
    w.field("sessionId", m.sessionId);
    w.field("startMs", m.startMs);
    w.field("stream", toString(m.stream));
    w.field("text", m.text);
    w.type("partial");
    return true;
}

bool write(Writer& w, const Permission& m) {
    w.field("kind", toString(m.kind));
    w.field("status", toString(m.status));
    w.type("permission");
    return true;
}

bool write(Writer& w, const HelperError& m) {
    w.field("code", toString(m.code));
    w.field("fatal", m.fatal);
    w.field("message", m.message);
    if (m.sessionId)
        w.field("sessionId", *m.sessionId);
    w.type("error");
    return true;
}

bool write(Writer& w, const Pong& m) {
    w.field("t", m.t);
    w.type("pong");
    return true;
}

bool write(Writer& w, const Stopped& m) {
    w.field("sessionId", m.ref.sessionId);
    w.type("stopped");
    return true;
}

// ---------------------------------------------------------------- reading

using Json = nlohmann::json;

// Each reader yields false when the value is absent, null or not of the
// field's JSON type; there are no conversions between JSON types.

const Json* member(const Json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return nullptr;
    return &*it;
}

// The exact integer that a JSON number text denotes, when it has an integral
// value within the signed 64-bit range ("1.0", "2e3", "-0.5e1"); nothing
// otherwise. Works on the decimal text, so no digit is lost to rounding.
std::optional<int64_t> exactInteger(std::string_view text) {
    bool negative = !text.empty() && text.front() == '-';
    if (negative)
        text.remove_prefix(1);
    std::string digits;
    int64_t exponent = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        digits += text[i];
    if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            digits += text[i];
            --exponent;
        }
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        bool expNegative = i < text.size() && text[i] == '-';
        if (i < text.size() && (text[i] == '-' || text[i] == '+'))
            ++i;
        int64_t e = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
            e = std::min<int64_t>(e * 10 + (text[i] - '0'), 1'000'000);
        exponent += expNegative ? -e : e;
    }
    while (!digits.empty() && digits.back() == '0') {
        digits.pop_back();
        ++exponent;
    }
    std::size_t lead = digits.find_first_not_of('0');
    digits.erase(0, lead == std::string::npos ? digits.size() : lead);
    if (digits.empty())
        return 0;
    if (exponent < 0 || static_cast<int64_t>(digits.size()) + exponent > 19)
        return std::nullopt;
    digits.append(static_cast<std::size_t>(exponent), '0');
    uint64_t magnitude = 0; // at most 19 digits: fits
    for (char c : digits)
        magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
    constexpr auto limit = static_cast<uint64_t>(INT64_MAX);
    if (magnitude > limit + (negative ? 1 : 0))
        return std::nullopt;
    if (negative)
        return magnitude == limit + 1 ? INT64_MIN : -static_cast<int64_t>(magnitude);
    return static_cast<int64_t>(magnitude);
}

// Builds the document like nlohmann's own DOM parser, except that a number
// written with a fraction or exponent becomes an integer when its exact value
// is one: the integer fields then accept 1.0 and 2e3 but never 1.5 or a value
// that only rounds into range.
class DomBuilder : public nlohmann::detail::json_sax_dom_parser<Json> {
public:
    explicit DomBuilder(Json& result) : json_sax_dom_parser(result, /*allow_exceptions=*/false) {}
    bool number_float(double value, const std::string& text) {
        if (auto exact = exactInteger(text))
            return number_integer(*exact);
        return json_sax_dom_parser::number_float(value, text);
    }
};

template <typename Int> bool readInteger(const Json& v, Int& out) {
    constexpr auto lo = std::numeric_limits<Int>::min();
    constexpr auto hi = std::numeric_limits<Int>::max();
    if (v.is_number_unsigned()) {
        auto u = v.get<uint64_t>();
        if (u > static_cast<uint64_t>(hi))
            return false;
        out = static_cast<Int>(u);
        return true;
    }
    if (v.is_number_integer()) {
        auto i = v.get<int64_t>();
        if (i < lo || i > hi)
            return false;
        out = static_cast<Int>(i);
        return true;
    }
    return false; // a fraction, or out of the 64-bit range (see DomBuilder)
}

template <typename Int> bool readInteger(const Json& object, const char* key, Int& out) {
    const Json* v = member(object, key);
    return v && readInteger(*v, out);
}

bool readString(const Json& v, std::string& out) {
    if (!v.is_string())
        return false;
    out = v.get_ref<const std::string&>();
    return true;
}

bool readString(const Json& object, const char* key, std::string& out) {
    const Json* v = member(object, key);
    return v && readString(*v, out);
}

bool readBool(const Json& object, const char* key, bool& out) {
    const Json* v = member(object, key);
    if (!v || !v->is_boolean())
        return false;
    out = v->get<bool>();
    return true;
}

template <typename T, typename ReadOne>
bool readArray(const Json& object, const char* key, std::vector<T>& out, ReadOne readOne) {
    const Json* v = member(object, key);
    if (!v || !v->is_array())
        return false;
    out.clear();
    out.reserve(v->size());
    for (const Json& element : *v) {
        T item{};
        if (element.is_null() || !readOne(element, item))
            return false;
        out.push_back(std::move(item));
    }
    return true;
}

bool readStrings(const Json& object, const char* key, std::vector<std::string>& out) {
    return readArray(object, key, out,
                     [](const Json& e, std::string& s) { return readString(e, s); });
}

bool readPids(const Json& object, const char* key, std::vector<int32_t>& out) {
    return readArray(object, key, out, [](const Json& e, int32_t& i) { return readInteger(e, i); });
}

bool readAppEntry(const Json& v, AppEntry& out) {
    return v.is_object() && readString(v, "name", out.name) &&
           readStrings(v, "bundlePrefixes", out.bundlePrefixes);
}

std::optional<AppMessage> readConfigure(const Json& o) {
    Configure c;
    if (readArray(o, "apps", c.apps, readAppEntry) &&
        readStrings(o, "ignoreBundlePrefixes", c.ignoreBundlePrefixes) &&
        readPids(o, "ignorePids", c.ignorePids) && readString(o, "locale", c.locale) &&
        readInteger(o, "micHoldMs", c.micHoldMs) && readInteger(o, "endGraceMs", c.endGraceMs) &&
        readBool(o, "fastResults", c.fastResults) &&
        (!member(o, "echoCancellation") || readBool(o, "echoCancellation", c.echoCancellation)))
        return c;
    return std::nullopt;
}

std::optional<AppMessage> readStart(const Json& o) {
    Start s;
    if (!readString(o, "sessionId", s.sessionId) || !readString(o, "bundleId", s.bundleId) ||
        !readPids(o, "pids", s.pids))
        return std::nullopt;
    if (const Json* audio = member(o, "audio")) {
        if (!audio->is_string())
            return std::nullopt;
        const auto& text = audio->get_ref<const std::string&>();
        if (text == "app")
            s.audio = Start::Audio::app;
        else if (text == "system")
            s.audio = Start::Audio::system;
        else
            return std::nullopt;
    }
    return s;
}

} // namespace

std::string_view toString(StreamName value) {
    return value == StreamName::mic ? "mic" : "others";
}

std::string_view toString(Model::Status value) {
    switch (value) {
    case Model::Status::installed:
        return "installed";
    case Model::Status::downloading:
        return "downloading";
    case Model::Status::supported:
        return "supported";
    case Model::Status::unsupported:
        return "unsupported";
    }
    return "";
}

std::string encodeLine(const HelperMessage& message) {
    std::string out;
    out.reserve(128);
    Writer w(out);
    w.open();
    bool ok = std::visit([&](const auto& record) { return write(w, record); }, message);
    if (!ok)
        return {};
    w.close();
    out += '\n';
    return out;
}

std::optional<AppMessage> decodeAppLine(std::string_view line) {
    if (line.size() > kMaxLineBytes)
        return std::nullopt;
    // The parser takes a NUL for the end of its input and skips a leading
    // byte-order mark; neither is whitespace, so either makes the line malformed.
    if (line.find('\0') != std::string_view::npos || line.starts_with("\xEF\xBB\xBF"))
        return std::nullopt;
    // No exceptions: a rejected line is ordinary input, not an error path.
    Json root;
    DomBuilder builder(root);
    if (!Json::sax_parse(line.begin(), line.end(), &builder) || !root.is_object())
        return std::nullopt;
    const Json* type = member(root, "type");
    if (!type || !type->is_string())
        return std::nullopt;
    const auto& name = type->get_ref<const std::string&>();
    if (name == "ping")
        return Ping{};
    if (name == "configure")
        return readConfigure(root);
    if (name == "start")
        return readStart(root);
    if (name == "stop") {
        Stop s;
        if (!readString(root, "sessionId", s.ref.sessionId))
            return std::nullopt;
        return s;
    }
    if (name == "prepareModel")
        return PrepareModel{};
    if (name == "shutdown")
        return Shutdown{};
    return Unknown{name};
}

} // namespace zorva
