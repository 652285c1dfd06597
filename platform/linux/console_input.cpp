// _kbhit on Linux. A Windows console hands over single keystrokes and leaves
// them queued until somebody reads them. A Unix terminal hands over whole lines
// and echoes them, so the first check switches the terminal to single-key,
// no-echo input, and every way out of the process puts the user's settings back
// exactly as they were.

#include "platform/linux/console_input.h"
#include "platform/linux/win32.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

/// What this process has done to the terminal. Signal handlers read and change it.
enum TerminalMode : sig_atomic_t {
    Untouched,  // never switched: nothing to give back
    Switched,   // single-key input; `original` holds the user's settings
    Suspended,  // switched before, given back while stopped or in the background
    Finished,   // given back for good: the process is on its way out
};

struct Keyboard {
    int fd = -1;
    bool looked = false;  // the first call has looked for a keyboard
    bool ownsFd = false;
    bool isTerminal = false;
    bool handlersInstalled = false;
    termios original{};  // written only while our signals are blocked, so handlers never see half of it
    termios singleKey{};
    volatile sig_atomic_t mode = Untouched;
    volatile sig_atomic_t stopping = 0;  // the stop handler is between its stop and its resumption
};

Keyboard keyboard;

// Linux numbers the standard signals from 1 to 31; the C library keeps the
// first real-time ones, below SIGRTMIN, for itself.
constexpr int kFirstRealTimeSignal = 32;

/// Whether the default action of sig ends the process, with a core or
/// without: each of those would leave the shell with our settings. SIGABRT is
/// among them, and the way out of a failed assertion or a broken invariant.
bool endsTheProcess(int sig) {
    switch (sig) {
    case SIGKILL:
    case SIGSTOP: return false;  // cannot be caught
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGCONT: return false;  // stop or continue; SIGTSTP and SIGCONT have handlers of their own
    case SIGCHLD:
    case SIGURG:
    case SIGWINCH: return false;  // ignored by default
    default: return sig < kFirstRealTimeSignal || (sig >= SIGRTMIN && sig <= SIGRTMAX);
    }
}

/// Blocks every signal we handle while the main flow changes the terminal or the mode.
class SignalBlock {
public:
    SignalBlock() {
        sigset_t ours;
        sigemptyset(&ours);
        for (int sig = 1; sig <= SIGRTMAX; ++sig) {
            if (endsTheProcess(sig)) sigaddset(&ours, sig);
        }
        sigaddset(&ours, SIGTSTP);
        sigaddset(&ours, SIGCONT);
        pthread_sigmask(SIG_BLOCK, &ours, &saved_);
    }
    ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SignalBlock(const SignalBlock&) = delete;
    SignalBlock& operator=(const SignalBlock&) = delete;

private:
    sigset_t saved_;
};

bool inForeground(int fd) {
    pid_t group = tcgetpgrp(fd);
    return group != -1 && group == getpgrp();
}

// Only canonical input and echo go: ISIG stays as the user had it, so Ctrl-C still
// interrupts, and IXON too, so Ctrl-S still pauses a fast-scrolling report.
termios singleKeySettings(const termios& user) {
    termios settings = user;
    settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    settings.c_cc[VMIN] = 1;  // one byte makes the terminal readable
    settings.c_cc[VTIME] = 0;
    return settings;
}

// Called from signal handlers: system calls and sig_atomic_t only.
void giveBack() {
    if (keyboard.mode != Switched) return;
    // A process outside the foreground would be stopped by SIGTTOU for touching the
    // terminal, and whoever holds the terminal now has set it up the way it wants.
    if (inForeground(keyboard.fd)) tcsetattr(keyboard.fd, TCSANOW, &keyboard.original);
    keyboard.mode = Suspended;
}

// Called from signal handlers: system calls and sig_atomic_t only.
void takeAgain() {
    if (keyboard.mode != Switched && keyboard.mode != Suspended) return;
    if (!inForeground(keyboard.fd)) {
        keyboard.mode = Suspended;
        return;
    }
    // Also when still Switched: after a SIGSTOP the shell may have put its own settings back.
    if (tcsetattr(keyboard.fd, TCSANOW, &keyboard.singleKey) == 0) keyboard.mode = Switched;
}

void setAction(int sig, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(sig, &action, nullptr);
}

void onEndingSignal(int sig) {
    int savedErrno = errno;
    giveBack();
    keyboard.mode = Finished;
    // Dying by the same signal, not exiting, keeps the status the shell expects (130 for Ctrl-C)
    // and the core that SIGQUIT or SIGSEGV leaves where cores are kept. A fault raised by an
    // instruction faults again as the handler returns, by then with the default action.
    setAction(sig, SIG_DFL);
    raise(sig);  // blocked while we are in here: it ends the process as the handler returns
    errno = savedErrno;
}

void onStop(int) {
    int savedErrno = errno;
    giveBack();
    keyboard.stopping = 1;
    setAction(SIGTSTP, SIG_DFL);
    raise(SIGTSTP);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);  // the process stops here, and goes on after `fg` or `bg`
    setAction(SIGTSTP, onStop);
    keyboard.stopping = 0;
    takeAgain();
    errno = savedErrno;
}

// A SIGSTOP cannot be caught, and `bg` then `fg` continues us twice: each continuation
// re-applies the single-key mode if the terminal is ours again.
void onContinue(int) {
    if (keyboard.stopping) return;  // the stop handler takes the terminal again itself
    int savedErrno = errno;
    takeAgain();
    errno = savedErrno;
}

void giveBackAtExit() {
    SignalBlock block;
    giveBack();
    keyboard.mode = Finished;
}

// Only where the default action is in place: a signal ignored at start (SIGINT for a
// job started with `&` by a script) stays ignored, and anybody else's handler stays.
void installUnlessTaken(int sig, void (*handler)(int)) {
    struct sigaction current {};
    if (sigaction(sig, nullptr, &current) != 0) return;
    if ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL) setAction(sig, handler);
}

void installHandlersOnce() {
    if (keyboard.handlersInstalled) return;
    keyboard.handlersInstalled = true;
    for (int sig = 1; sig <= SIGRTMAX; ++sig) {
        if (endsTheProcess(sig)) installUnlessTaken(sig, onEndingSignal);
    }
    installUnlessTaken(SIGTSTP, onStop);
    installUnlessTaken(SIGCONT, onContinue);
    std::atexit(giveBackAtExit);
}

void switchToSingleKeys() {
    SignalBlock block;
    if (keyboard.mode == Untouched) {
        if (tcgetattr(keyboard.fd, &keyboard.original) != 0) return;
        keyboard.singleKey = singleKeySettings(keyboard.original);
        installHandlersOnce();
    } else if (keyboard.mode != Suspended) {
        return;  // switched already, or given back for good at exit
    }
    // TCSANOW: the TCSAFLUSH that raw-mode recipes use would throw away a key typed before start.
    if (tcsetattr(keyboard.fd, TCSANOW, &keyboard.singleKey) == 0) keyboard.mode = Switched;
}

void lookForKeyboard() {
    keyboard.looked = true;
    // The keyboard is the terminal itself, never standard input: a Windows console is
    // not standard input either, and `pathwarden DIR < list` must still end on a key.
    int fd = open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;  // no controlling terminal (a service, `setsid`, `ssh -T`): no key, ever
    keyboard.fd = fd;
    keyboard.ownsFd = true;
    keyboard.isTerminal = true;
}

}  // namespace

void console_input::restoreTerminal() { giveBackAtExit(); }

bool keystrokeCanArrive() {
    if (!keyboard.looked) lookForKeyboard();
    return keyboard.fd >= 0;
}

int _kbhit() {
    if (!keyboard.looked) lookForKeyboard();
    if (keyboard.fd < 0) return 0;
    if (keyboard.isTerminal) {
        // In the background the waiting keys are the shell's, and changing the
        // settings would get the job stopped: it sees no key at all.
        if (!inForeground(keyboard.fd)) return 0;
        if (keyboard.mode != Switched) switchToSingleKeys();
    }
    // Counting the waiting bytes leaves them where they are, for whoever reads next.
    int waiting = 0;
    if (ioctl(keyboard.fd, FIONREAD, &waiting) != 0) return 0;  // a hung-up terminal
    return waiting > 0 ? 1 : 0;
}

void console_input::useKeyboardForTesting(int fd) {
    SignalBlock block;
    giveBack();
    if (keyboard.ownsFd) close(keyboard.fd);
    keyboard.fd = fd == kControllingTerminal ? -1 : fd;
    keyboard.looked = fd != kControllingTerminal;
    keyboard.ownsFd = false;
    keyboard.isTerminal = keyboard.fd >= 0 && isatty(keyboard.fd) == 1;
    keyboard.mode = Untouched;
    // Look at the signals again at the next switch: a forked test child may have
    // ignored some since. Our own inherited handlers are not default actions, so they stay.
    keyboard.handlersInstalled = false;
}
