#include "Helper.h"
#include "SelfTest.h"
#include "Transport.h"
#include "platform/Clock.h"
#include "platform/System.h"
#include "platform/pulse/PulseAudioHardware.h"
#include "platform/sphinx/SphinxSpeech.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/thread_pool.hpp>
#include <csignal>
#include <thread>
#include <unistd.h>

using namespace zorva;

namespace {

void writeStandardError(std::string_view text) {
    (void)!::write(STDERR_FILENO, text.data(), text.size());
}

} // namespace

int main(int argc, char** argv) {
    const Instant launchInstant = continuousClock().now();
    // A host that closes our stdout must make write() fail, not kill us mid-line.
    std::signal(SIGPIPE, SIG_IGN);
    standardOutput(); // create the output lock before any thread can send
    const SendFn sendLine = [](const HelperMessage& m) { zorva::send(m); };
    std::unique_ptr<SpeechPlatform> speech = makeSphinxSpeechPlatform();
    TranscriberEnvironment transcription{*speech, continuousClock(), writeStandardError};
    asio::io_context mainQueue(1);
    auto keepRunning = asio::make_work_guard(mainQueue);

    if (auto request = selfTestRequest(std::vector<std::string>(argv, argv + argc))) {
        // The file mode owns the process: no hello, no reader, no controller.
        std::thread([&] {
            int status = transcribeFile(*request, transcription, sendLine,
                                        [](const std::string& text) { note(text); });
            asio::post(mainQueue, [status] { exitProcess(status); });
        }).detach();
        mainQueue.run();
        return 0;
    }

    // Connects in the background: never delays hello or any answer.
    std::unique_ptr<AudioHardware> hardware = makePulseAudioHardware(writeStandardError);
    std::unique_ptr<MicrophoneSystem> microphone =
        makePulseMicrophoneSystem(*hardware, [&mainQueue](std::function<void()> work) {
            asio::post(mainQueue, std::move(work));
        });
    asio::thread_pool workers(4);
    auto helper = std::make_shared<Helper>(
        HelperEnvironment{mainQueue, continuousClock(), launchInstant, sendLine, exitProcess,
                          *hardware, *speech, *microphone, workers, transcription, makeUUID});

    sendLine(
        Hello{1, kHelperVersion, operatingSystemVersionString(), static_cast<int32_t>(getpid())});

    std::thread([&mainQueue, helper, sendLine] {
        runInputReader(
            STDIN_FILENO, mainQueue, [helper](AppMessage m) { helper->handle(std::move(m)); },
            sendLine, [] { exitProcess(0); });
    }).detach();

    mainQueue.run();
    return 0;
}
