#include "Settings.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>

namespace zorva::host {

using Json = nlohmann::json;

const char* const kUsage =
    R"(Usage: zorva [--app NAME=PREFIX[,PREFIX...]]... [--system] [--locale ID] [--out DIR] [--vtt]
             [--no-echo-cancellation] [--no-notifications]
       zorva record [--system] [--app NAME[=PREFIX[,PREFIX...]]] [--locale ID] [--out DIR] [--vtt]
             [--no-echo-cancellation] [--no-notifications]

Watches for calls in conferencing apps and, while one lasts, shows live
captions of what you say ("You") and what the others say ("Them") and writes
a transcript. `zorva record` captures at once, until Ctrl-C.

  --app NAME=PREFIX,...  add an app, known by the application ids or binary
                         names that start with a PREFIX (repeatable); with
                         `record`, --app NAME follows that app's audio
  --system               capture everything the system plays, not only the app
  --locale ID            the speech locale (default en-US)
  --out DIR              where transcripts go (default
                         $XDG_DATA_HOME/zorva/transcripts)
  --vtt                  also write WebVTT captions beside each transcript
  --no-echo-cancellation leave the microphone as it is; by default the call's
                         sound from the speakers is removed from it, so that
                         "You" is only you
  --window               show the captions in a window of their own
  --no-notifications     no desktop notifications when a call's transcription
                         starts and ends, or when something needs fixing
  --help                 show this help
  --version              show the version

Config file: $XDG_CONFIG_HOME/zorva/config.json (default ~/.config).
)";

std::optional<std::string> processEnv(const std::string& name) {
    if (const char* value = std::getenv(name.c_str()))
        return std::string(value);
    return std::nullopt;
}

std::vector<App> defaultApps() {
    return {
        {"Zoom", {"us.zoom.", "zoom", "ZoomLauncher"}},
        {"Microsoft Teams",
         {"com.microsoft.Teams", "com.github.IsmaelMartinez.teams_for_linux", "teams"}},
        {"Slack", {"com.slack.", "slack"}},
        {"Discord", {"com.discordapp.", "Discord", "discord"}},
        {"Skype", {"com.skype.", "skypeforlinux"}},
        {"Element", {"im.riot.", "element-desktop"}},
        {"Signal", {"org.signal.", "signal-desktop"}},
        {"Jitsi Meet", {"org.jitsi.", "jitsi-meet"}},
        {"Webex", {"com.cisco.", "webex", "CiscoCollabHost"}},
        {"Firefox", {"org.mozilla.firefox", "firefox"}},
        {"Chromium", {"org.chromium.", "chromium"}},
        {"Google Chrome", {"com.google.Chrome", "chrome", "google-chrome"}},
        {"Microsoft Edge", {"com.microsoft.Edge", "msedge", "microsoft-edge"}},
        {"Brave", {"com.brave.", "brave"}},
    };
}

namespace {

std::vector<std::string> stringList(const Json& value, const std::string& where) {
    if (!value.is_array())
        throw ConfigError(where + " must be a list of strings");
    std::vector<std::string> out;
    for (const auto& item : value) {
        if (!item.is_string())
            throw ConfigError(where + " must be a list of strings");
        out.push_back(item.get<std::string>());
    }
    return out;
}

std::vector<App> appList(const Json& value, const std::string& key) {
    const std::string where = "\"" + key + "\"";
    if (!value.is_array())
        throw ConfigError(where + " must be a list of {\"name\", \"bundlePrefixes\"} objects");
    std::vector<App> out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const Json& entry = value[i];
        const std::string at = where + "[" + std::to_string(i) + "]";
        if (!entry.is_object())
            throw ConfigError(at + " must be an object with \"name\" and \"bundlePrefixes\"");
        for (const auto& [k, v] : entry.items())
            if (k != "name" && k != "bundlePrefixes")
                throw ConfigError(at + ": unknown key \"" + k + "\"");
        if (!entry.contains("name") || !entry["name"].is_string() ||
            entry["name"].get<std::string>().empty())
            throw ConfigError(at + ": \"name\" must be a non-empty string");
        if (!entry.contains("bundlePrefixes"))
            throw ConfigError(at + ": \"bundlePrefixes\" is missing");
        out.push_back({entry["name"].get<std::string>(),
                       stringList(entry["bundlePrefixes"], at + ".bundlePrefixes")});
    }
    return out;
}

int64_t milliseconds(const Json& value, const std::string& key) {
    // A day is far beyond any sensible hold or grace time.
    if (!value.is_number_integer() || value.get<int64_t>() < 0 || value.get<int64_t>() > 86'400'000)
        throw ConfigError("\"" + key + "\" must be a whole number of milliseconds (0 to 86400000)");
    return value.get<int64_t>();
}

std::string jsonFault(const Json::exception& e) {
    // nlohmann prefixes its messages with "[json.exception.parse_error.101] ".
    std::string text = e.what();
    if (auto end = text.find("] "); text.rfind("[json.exception", 0) == 0 && end != text.npos)
        text.erase(0, end + 2);
    return text;
}

// Splits "NAME=PREFIX,PREFIX"; the prefixes part is optional when `nameOnly`.
App appFlag(const std::string& value, bool nameOnly) {
    const auto eq = value.find('=');
    App app{value.substr(0, eq), {}};
    if (eq != std::string::npos) {
        std::stringstream prefixes(value.substr(eq + 1));
        for (std::string p; std::getline(prefixes, p, ',');)
            if (!p.empty())
                app.bundlePrefixes.push_back(p);
    }
    if (app.name.empty() || (eq == std::string::npos && !nameOnly) ||
        (eq != std::string::npos && app.bundlePrefixes.empty()))
        throw UsageError("--app needs NAME=PREFIX[,PREFIX...], not '" + value + "'");
    return app;
}

std::string configFile(const EnvFn& env) {
    auto base = env("XDG_CONFIG_HOME");
    if (base && !base->empty() && base->front() == '/')
        return *base + "/zorva/config.json";
    if (auto home = env("HOME"); home && !home->empty())
        return *home + "/.config/zorva/config.json";
    return {};
}

std::string transcriptDir(const EnvFn& env) {
    auto base = env("XDG_DATA_HOME");
    if (base && !base->empty() && base->front() == '/')
        return *base + "/zorva/transcripts";
    if (auto home = env("HOME"); home && !home->empty())
        return *home + "/.local/share/zorva/transcripts";
    return "zorva-transcripts";
}

} // namespace

std::string rememberTextSize(const std::string& path, int size) {
    if (path.empty())
        return "there is no config folder (neither XDG_CONFIG_HOME nor HOME is set)";
    Json root = Json::object();
    std::error_code ec;
    if (std::ifstream in(path, std::ios::binary); in) {
        std::stringstream text;
        text << in.rdbuf();
        try {
            root = Json::parse(text.str());
        } catch (const Json::exception& e) {
            return path + ": " + jsonFault(e);
        }
        if (!root.is_object())
            return path + ": the file must hold one JSON object";
    }
    root["textSize"] = size;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    // Written whole beside it and renamed over it: never half a file.
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << root.dump(2) << "\n";
        if (!out.flush())
            return path + ": cannot be written";
    }
    std::filesystem::rename(temporary, path, ec);
    return ec ? path + ": " + ec.message() : "";
}

void applyConfig(const std::string& text, Settings& settings) {
    Json root;
    try {
        root = Json::parse(text);
    } catch (const Json::exception& e) {
        throw ConfigError(jsonFault(e));
    }
    if (!root.is_object())
        throw ConfigError("the file must hold one JSON object");
    // "apps" replaces the table wherever it stands; "extraApps" adds to it.
    std::vector<App> extra;
    for (const auto& [key, value] : root.items()) {
        if (key == "apps")
            settings.apps = appList(value, key);
        else if (key == "extraApps")
            extra = appList(value, key);
        else if (key == "ignoreBundlePrefixes")
            settings.ignoreBundlePrefixes = stringList(value, "\"" + key + "\"");
        else if (key == "locale") {
            if (!value.is_string() || value.get<std::string>().empty())
                throw ConfigError("\"locale\" must be a locale identifier such as \"en-US\"");
            settings.locale = value.get<std::string>();
        } else if (key == "micHoldMs")
            settings.micHoldMs = milliseconds(value, key);
        else if (key == "endGraceMs")
            settings.endGraceMs = milliseconds(value, key);
        else if (key == "audio") {
            if (value != "app" && value != "system")
                throw ConfigError("\"audio\" must be \"app\" or \"system\"");
            settings.systemAudio = value == "system";
        } else if (key == "echoCancellation") {
            if (!value.is_boolean())
                throw ConfigError("\"echoCancellation\" must be true or false");
            settings.echoCancellation = value.get<bool>();
        } else if (key == "textSize") {
            if (!value.is_number_integer() || value.get<int64_t>() < 10 ||
                value.get<int64_t>() > 48)
                throw ConfigError("\"textSize\" must be a whole number of points, 10 to 48");
            settings.textSize = value.get<int>();
        } else if (key == "notifications") {
            if (!value.is_boolean())
                throw ConfigError("\"notifications\" must be true or false");
            settings.notifications = value.get<bool>();
        } else
            throw ConfigError("unknown key \"" + key + "\"");
    }
    for (App& app : extra)
        settings.apps.push_back(std::move(app));
}

Invocation parseInvocation(const std::vector<std::string>& args, const EnvFn& env) {
    Invocation inv;
    std::vector<App> flagApps;
    std::optional<std::string> locale, outDir;
    bool system = false, noEcho = false, noNotifications = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::optional<std::string> inlineValue;
        if (arg.rfind("--", 0) == 0)
            if (auto eq = arg.find('='); eq != std::string::npos) {
                inlineValue = arg.substr(eq + 1);
                arg.resize(eq);
            }
        auto value = [&]() -> std::string {
            if (inlineValue)
                return *inlineValue;
            if (i + 1 >= args.size())
                throw UsageError(arg + " needs a value");
            return args[++i];
        };
        auto noValue = [&] {
            if (inlineValue)
                throw UsageError(arg + " takes no value");
        };
        if (arg == "--help" || arg == "-h") {
            noValue();
            inv.action = Action::help;
            return inv;
        } else if (arg == "--version") {
            noValue();
            inv.action = Action::version;
            return inv;
        } else if (arg == "--app") {
            flagApps.push_back(appFlag(value(), inv.settings.record));
        } else if (arg == "--system") {
            noValue();
            system = true;
        } else if (arg == "--locale") {
            locale = value();
            if (locale->empty())
                throw UsageError("--locale needs a locale identifier such as en-US");
        } else if (arg == "--out") {
            outDir = value();
            if (outDir->empty())
                throw UsageError("--out needs a directory");
        } else if (arg == "--vtt") {
            noValue();
            inv.settings.vtt = true;
        } else if (arg == "--no-echo-cancellation") {
            noValue();
            noEcho = true;
        } else if (arg == "--window") {
            noValue();
            inv.settings.window = true;
        } else if (arg == "--no-notifications") {
            noValue();
            noNotifications = true;
        } else if (arg == "record" && i == 0) {
            inv.settings.record = true;
        } else if (!arg.empty() && arg[0] == '-') {
            throw UsageError("unknown option '" + arg + "'");
        } else {
            throw UsageError("unexpected argument '" + arg + "'");
        }
    }

    Settings& s = inv.settings;
    s.apps = defaultApps();
    inv.configPath = configFile(env);
    inv.configTarget = inv.configPath;
    if (!inv.configPath.empty()) {
        std::ifstream in(inv.configPath, std::ios::binary);
        std::error_code ec;
        if (in) {
            std::stringstream text;
            text << in.rdbuf();
            try {
                applyConfig(text.str(), s);
            } catch (const ConfigError& e) {
                throw ConfigError(inv.configPath + ": " + e.what());
            }
        } else if (std::filesystem::exists(inv.configPath, ec)) {
            throw ConfigError(inv.configPath + ": cannot be read");
        } else {
            inv.configPath.clear();
        }
    }

    if (noEcho)
        s.echoCancellation = false;
    if (noNotifications)
        s.notifications = false;
    for (App& app : flagApps) {
        if (s.record && app.bundlePrefixes.empty()) {
            auto known = std::find_if(s.apps.begin(), s.apps.end(),
                                      [&](const App& a) { return a.name == app.name; });
            if (known == s.apps.end()) {
                std::string names;
                for (const App& a : s.apps)
                    names += (names.empty() ? "" : ", ") + a.name;
                throw UsageError("no app named '" + app.name + "' (known: " + names + ")");
            }
        } else {
            s.apps.push_back(app);
        }
        if (s.record)
            s.recordApp = app.name;
    }
    if (s.record && flagApps.size() > 1)
        throw UsageError("record follows one app: give --app once");
    if (system)
        s.systemAudio = true;
    if (locale)
        s.locale = *locale;
    s.outDir = outDir ? *outDir : transcriptDir(env);
    return inv;
}

} // namespace zorva::host
