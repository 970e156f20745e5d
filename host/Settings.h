// What a run of `zorva` does: the built-in app table, overridden by the
// user's config file, overridden by the command line.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zorva::host {

struct App {
    std::string name;
    std::vector<std::string> bundlePrefixes;
};

struct Settings {
    std::vector<App> apps;
    std::vector<std::string> ignoreBundlePrefixes;
    std::string locale = "en-US";
    int64_t micHoldMs = 3000;
    int64_t endGraceMs = 6000;
    bool systemAudio = false;
    std::string outDir;
    bool vtt = false;
    // Cancel the call's echo in the microphone (calls on speakers).
    bool echoCancellation = true;
    // Desktop notifications when a call's transcription starts and ends.
    bool notifications = true;
    // `zorva --window`: captions in a window instead of the terminal, in
    // text of this size (points).
    bool window = false;
    int textSize = 20;
    // `zorva record`: capture at once, following `recordApp` when given.
    bool record = false;
    std::optional<std::string> recordApp;
};

// Bad usage and malformed config files: both end the run with status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct ConfigError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class Action { run, help, version };

struct Invocation {
    Action action = Action::run;
    Settings settings;
    std::string configPath;   // the file that was read, empty when none existed
    std::string configTarget; // where a remembered setting is written
};

// Writes one setting into the config file at `path`, keeping the rest of it
// (the file and its folder are made if missing). Returns the fault, empty
// when it was written.
std::string rememberTextSize(const std::string& path, int size);

// Reads the environment through `env` (XDG_CONFIG_HOME, XDG_DATA_HOME, HOME).
using EnvFn = std::function<std::optional<std::string>(const std::string&)>;
std::optional<std::string> processEnv(const std::string& name);

// The conferencing apps people run on Linux, by binary name and by the
// application ids their Flatpaks and packages announce.
std::vector<App> defaultApps();

// Applies a config file's JSON text to `settings`; throws ConfigError with
// the fault (the caller adds the file name).
void applyConfig(const std::string& text, Settings& settings);

// Parses the arguments after the program name; throws UsageError or
// ConfigError.
Invocation parseInvocation(const std::vector<std::string>& args, const EnvFn& env = processEnv);

extern const char* const kUsage;

} // namespace zorva::host
