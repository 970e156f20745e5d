#include "Helper.h"
#include "Transport.h"
#include "platform/Clock.h"
#include "platform/System.h"
#include "platform/pulse/PulseAudioHardware.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <csignal>
#include <thread>
#include <unistd.h>

using namespace zorva;

int main() {
    const Instant launchInstant = continuousClock().now();
    // A host that closes our stdout must make write() fail, not kill us mid-line.
    std::signal(SIGPIPE, SIG_IGN);
    standardOutput(); // create the output lock before any thread can send

    const SendFn sendLine = [](const HelperMessage& m) { zorva::send(m); };
    // Connects in the background: never delays hello or any answer.
    std::unique_ptr<AudioHardware> hardware = makePulseAudioHardware();
    asio::io_context mainQueue(1);
    auto keepRunning = asio::make_work_guard(mainQueue);
    auto helper = std::make_shared<Helper>(HelperEnvironment{
        mainQueue, continuousClock(), launchInstant, sendLine, exitProcess, *hardware});

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
