#ifndef INTERRUPTION_H
#define INTERRUPTION_H

// Ctrl-C, SIGTERM and SIGHUP while a job runs. Killed at once, the flasher would leave the
// converter claimed, the kernel's serial driver without it and, in the middle of the reset
// pulse, the adapter held in reset. So the handler only notes the signal; the job stops at
// its next safe point and releases everything as on any other failure. A second signal
// ends the process at once, as users expect of a second Ctrl-C.
class Interruption
{
public:
    // Installs the handler for the life of the object and restores the previous ones after.
    Interruption();
    ~Interruption();
    Interruption(const Interruption &) = delete;
    Interruption &operator=(const Interruption &) = delete;

    // The signal that asked the job to stop, or 0.
    static int signal();
    // For the end of main(): when the job's status says a signal stopped it, ends the
    // process by that signal once the job has cleaned up, since a shell stops a script on
    // Ctrl-C only when the program died of it; else returns the status.
    static int passOn(int status);
};

#endif // INTERRUPTION_H
