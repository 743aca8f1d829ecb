#include "interruption.h"

#include <csignal>
#include <cstdio>
#include <iterator>

namespace {

const int HandledSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previousActions[std::size(HandledSignals)];
volatile sig_atomic_t handling[std::size(HandledSignals)];
volatile sig_atomic_t receivedSignal = 0;

void noteSignal(int number)
{
    receivedSignal = number;
    // sigaction() is safe in a handler; from now on the default action ends the process.
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    for (size_t i = 0; i < std::size(HandledSignals); ++i) {
        if (handling[i])
            sigaction(HandledSignals[i], &action, nullptr);
    }
}

} // namespace

Interruption::Interruption()
{
    receivedSignal = 0;
    struct sigaction action = {};
    action.sa_handler = noteSignal;
    // Writes to the terminal and reads from the serial port go on; waits still return early.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(HandledSignals); ++i) {
        sigaction(HandledSignals[i], nullptr, &previousActions[i]);
        // A signal ignored by whoever started the program (nohup, a shell's background
        // job) stays ignored.
        handling[i] = previousActions[i].sa_handler != SIG_IGN;
        if (handling[i])
            sigaction(HandledSignals[i], &action, nullptr);
    }
}

Interruption::~Interruption()
{
    for (size_t i = 0; i < std::size(HandledSignals); ++i)
        sigaction(HandledSignals[i], &previousActions[i], nullptr);
}

int Interruption::signal()
{
    return receivedSignal;
}

int Interruption::passOn(int status)
{
    const int number = receivedSignal;
    if (number == 0 || status != 128 + number)
        return status;
    std::fflush(stdout);
    std::signal(number, SIG_DFL);
    std::raise(number);
    return status;
}
