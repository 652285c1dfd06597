// The keyboard check against a real pseudo-terminal. Only the foreground process
// group switches the terminal, so each case sets up a job the way a shell does,
// and the program under test reports through its exit status.

#include "platform/linux/console_input.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

constexpr int kStepMilliseconds = 10000;  // a slow machine, but never forever

/// Polls until `done` holds; false if it did not within a step's time.
bool eventually(const std::function<bool()>& done) {
    for (auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStepMilliseconds); !done();
         std::this_thread::sleep_for(5ms))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

struct PseudoTerminal {
    int master = -1;
    int slave = -1;
    PseudoTerminal() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0)
            return;
        slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~PseudoTerminal() {
        close(slave);
        close(master);
    }
    termios settings() const {
        termios current{};
        tcgetattr(slave, &current);
        return current;
    }
    bool type(const char* keys) const {
        return write(master, keys, strlen(keys)) == static_cast<ssize_t>(strlen(keys));
    }
    bool singleKeyInput() const { return (settings().c_lflag & ICANON) == 0; }
    /// Polls the settings until the program has switched them.
    bool settlesInSingleKeyInput() const { return eventually([this] { return singleKeyInput(); }); }
};

::testing::AssertionResult sameSettings(const termios& actual, const termios& expected) {
    if (actual.c_iflag == expected.c_iflag && actual.c_oflag == expected.c_oflag &&
        actual.c_cflag == expected.c_cflag && actual.c_lflag == expected.c_lflag &&
        std::memcmp(actual.c_cc, expected.c_cc, sizeof actual.c_cc) == 0 &&
        cfgetispeed(&actual) == cfgetispeed(&expected) && cfgetospeed(&actual) == cfgetospeed(&expected))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << std::hex << "lflag " << actual.c_lflag << " instead of "
                                         << expected.c_lflag << ", or another field differs";
}

/// Exited with `value`, or killed by it as a signal.
::testing::AssertionResult endedWith(int status, int value, bool killed = false) {
    if (status != -1 && (killed ? WIFSIGNALED(status) && WTERMSIG(status) == value
                                : WIFEXITED(status) && WEXITSTATUS(status) == value))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "wait status " << status << " (-1: none in time)";
}

bool readWithin(int fd, void* data, size_t size) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, kStepMilliseconds) != 1) return false;
        ssize_t got = read(fd, bytes, size);
        if (got <= 0) return false;
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

int readyFd = -1;  // inside the job: tells the test that the terminal is switched

/// Checks once and tells the test; once a key waits, checks again and reads it
/// from the terminal, which proves that checking left it there. 0: no key in time.
char keyTyped() {
    _kbhit();
    if (write(readyFd, "r", 1) != 1) _exit(90);
    if (!eventually([] { return _kbhit() != 0; })) return 0;
    int tty = open("/dev/tty", O_RDONLY);
    char key = 0;
    if (!_kbhit() || tty < 0 || read(tty, &key, 1) != 1) return 0;
    close(tty);
    return key;
}

enum class Place { Foreground, Background, NoTerminal };

/// A job on the pseudo-terminal: a session leader that acts as the shell, and the
/// program, which runs `body` and exits with what it returns. The leader passes on
/// the program's pid and every status it sees (stops included).
class Job {
public:
    Job(const PseudoTerminal& terminal, Place place, const std::function<int()>& body) {
        int ready[2], report[2];
        if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) return;
        std::fflush(nullptr);
        leader_ = fork();
        if (leader_ == 0) {
            close(ready[0]);
            close(report[0]);
            lead(terminal, place, body, ready[1], report[1]);
        }
        close(ready[1]);
        close(report[1]);
        ready_ = ready[0];
        report_ = report[0];
        if (!readWithin(report_, &program_, sizeof program_)) program_ = -1;
    }
    ~Job() {
        if (program_ > 0) kill(program_, SIGKILL);
        if (leader_ > 0) {
            kill(leader_, SIGKILL);
            waitpid(leader_, nullptr, 0);
        }
        close(ready_);
        close(report_);
    }
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    pid_t program() const { return program_; }
    bool waitReady() const {
        char ready;
        return readWithin(ready_, &ready, 1);
    }
    /// The next status of the program; -1 if none came in time.
    int nextStatus() const {
        int status = -1;
        return readWithin(report_, &status, sizeof status) ? status : -1;
    }

private:
    [[noreturn]] static void lead(const PseudoTerminal& terminal, Place place, const std::function<int()>& body,
                                  int ready, int report) {
        alarm(60);
        setsid();
        if (place != Place::NoTerminal && ioctl(terminal.slave, TIOCSCTTY, 0) != 0) _exit(91);
        int go[2];
        if (pipe(go) != 0) _exit(92);
        pid_t program = fork();
        if (program == 0) {
            close(go[1]);
            setpgid(0, 0);
            char start;
            if (read(go[0], &start, 1) != 1) _exit(93);
            alarm(60);
            prctl(PR_SET_DUMPABLE, 0);  // SIGQUIT and SIGABRT rows: no core files
            // Standard input and output are never the keyboard: make them useless, or,
            // without a controlling terminal, make standard input a terminal with a key waiting.
            int nowhere = open("/dev/null", O_RDWR);
            dup2(place == Place::NoTerminal ? terminal.slave : nowhere, 0);
            dup2(nowhere, 1);
            readyFd = ready;
            console_input::useKeyboardForTesting(console_input::kControllingTerminal);
            std::exit(body());  // exit, not _exit: the settings come back from an exit handler
        }
        setpgid(program, program);
        if (place == Place::Foreground && tcsetpgrp(terminal.slave, program) != 0) _exit(94);
        if (write(go[1], "g", 1) != 1 || write(report, &program, sizeof program) != sizeof program) _exit(95);
        for (int status; waitpid(program, &status, WUNTRACED) == program;) {
            if (write(report, &status, sizeof status) != sizeof status) _exit(96);
            if (!WIFSTOPPED(status)) _exit(0);
        }
        _exit(97);
    }

    pid_t leader_ = -1;
    pid_t program_ = -1;
    int ready_ = -1;
    int report_ = -1;
};

TEST(KeyboardCheck, SeesOneKeyWithoutEnterLeavesItInTheTerminalAndKeepsIgnoredSignals) {
    const struct {
        const char* name;
        bool typedBeforeStart;
        bool ignoring;  // SIGINT as for a job started with `&` by a script, SIGHUP as under nohup
    } rows[] = {{"key typed before the first check", true, false},
                {"key typed while running", false, false},
                {"signals ignored at start", false, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        PseudoTerminal terminal;
        ASSERT_GE(terminal.slave, 0);
        const termios original = terminal.settings();
        if (row.typedBeforeStart) {
            ASSERT_TRUE(terminal.type("x"));  // switching must not flush it away
        }
        Job job(terminal, Place::Foreground, [ignoring = row.ignoring] {
            if (ignoring) {
                signal(SIGINT, SIG_IGN);
                signal(SIGHUP, SIG_IGN);
            }
            if (keyTyped() != 'x') return 11;
            struct sigaction interrupt {}, hangup {};
            sigaction(SIGINT, nullptr, &interrupt);
            sigaction(SIGHUP, nullptr, &hangup);
            return !ignoring || (interrupt.sa_handler == SIG_IGN && hangup.sa_handler == SIG_IGN) ? 0 : 12;
        });
        ASSERT_TRUE(job.waitReady());
        if (!row.typedBeforeStart) {
            // Only line input and echo are switched off; Ctrl-C and everything else stay.
            termios expected = original;
            expected.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
            expected.c_cc[VMIN] = 1;
            expected.c_cc[VTIME] = 0;
            EXPECT_TRUE(sameSettings(terminal.settings(), expected));
            if (row.ignoring) {
                ASSERT_TRUE(terminal.type("\x03"));
                ASSERT_EQ(kill(job.program(), SIGHUP), 0);
            }
            ASSERT_TRUE(terminal.type("x"));
        }
        EXPECT_TRUE(endedWith(job.nextStatus(), 0));
        EXPECT_TRUE(sameSettings(terminal.settings(), original));
    }
}

TEST(KeyboardCheck, GivesTheExactSettingsBackOnEveryEnding) {
    const struct {
        const char* name;
        const char* keys;  // typed at the terminal, or
        int signal;        // sent to the program
        bool killed;       // dies by `expected` as a signal, else exits with it
        int expected;
    } endings[] = {
        {"a key, status 0", "z", 0, false, 0},     {"a failure, status 255", "f", 0, false, 255},
        {"Ctrl-C", "\x03", 0, true, SIGINT},       {"Ctrl-\\", "\x1c", 0, true, SIGQUIT},
        {"SIGTERM", nullptr, SIGTERM, true, SIGTERM}, {"SIGHUP", nullptr, SIGHUP, true, SIGHUP},
        {"SIGPIPE", nullptr, SIGPIPE, true, SIGPIPE}, {"abort", nullptr, SIGABRT, true, SIGABRT},
    };
    for (const auto& ending : endings) {
        SCOPED_TRACE(ending.name);
        PseudoTerminal terminal;
        ASSERT_GE(terminal.slave, 0);
        // Unusual settings (no echo, yet line input), so that only an exact copy matches.
        termios original = terminal.settings();
        original.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        original.c_cc[VMIN] = 5;
        original.c_cc[VTIME] = 3;
        ASSERT_EQ(tcsetattr(terminal.slave, TCSANOW, &original), 0);
        original = terminal.settings();

        Job job(terminal, Place::Foreground, [] {
            char key = keyTyped();
            return key == 'z' ? 0 : key == 'f' ? -1 : 11;
        });
        ASSERT_TRUE(job.waitReady());
        EXPECT_TRUE(terminal.singleKeyInput());
        if (ending.keys) {
            ASSERT_TRUE(terminal.type(ending.keys));
        } else {
            ASSERT_EQ(kill(job.program(), ending.signal), 0);
        }

        EXPECT_TRUE(endedWith(job.nextStatus(), ending.expected, ending.killed));
        EXPECT_TRUE(sameSettings(terminal.settings(), original));
    }
}

TEST(KeyboardCheck, StopGivesTheTerminalBackAndContinueTakesItAgain) {
    PseudoTerminal terminal;
    ASSERT_GE(terminal.slave, 0);
    const termios original = terminal.settings();
    Job job(terminal, Place::Foreground, [] { return keyTyped() == 'x' ? 0 : 11; });
    ASSERT_TRUE(job.waitReady());
    for (int round = 1; round <= 2; ++round) {  // the second stop proves the handler is back
        SCOPED_TRACE(round);
        ASSERT_TRUE(terminal.type("\x1a"));
        int status = job.nextStatus();
        ASSERT_TRUE(WIFSTOPPED(status)) << status;
        EXPECT_EQ(WSTOPSIG(status), SIGTSTP);
        EXPECT_TRUE(sameSettings(terminal.settings(), original));
        ASSERT_EQ(kill(job.program(), SIGCONT), 0);
        EXPECT_TRUE(terminal.settlesInSingleKeyInput());
    }
    // SIGSTOP cannot be caught: the shell puts its own settings back, and continuing switches again.
    ASSERT_EQ(kill(job.program(), SIGSTOP), 0);
    ASSERT_TRUE(WIFSTOPPED(job.nextStatus()));
    ASSERT_EQ(tcsetattr(terminal.slave, TCSANOW, &original), 0);
    ASSERT_EQ(kill(job.program(), SIGCONT), 0);
    EXPECT_TRUE(terminal.settlesInSingleKeyInput());

    ASSERT_TRUE(terminal.type("x"));
    EXPECT_TRUE(endedWith(job.nextStatus(), 0));
    EXPECT_TRUE(sameSettings(terminal.settings(), original));
}

TEST(KeyboardCheck, SeesNoKeyAndTouchesNothingOutsideTheForeground) {
    const std::pair<const char*, Place> places[] = {{"background job", Place::Background},
                                                    {"no controlling terminal", Place::NoTerminal}};
    for (const auto& [name, place] : places) {
        SCOPED_TRACE(name);
        PseudoTerminal terminal;
        ASSERT_GE(terminal.slave, 0);
        const termios original = terminal.settings();
        ASSERT_TRUE(terminal.type("x\n"));  // a whole line waits, so even line input would show it
        Job job(terminal, Place(place), [] {
            for (int check = 0; check < 20; ++check, std::this_thread::sleep_for(5ms))
                if (_kbhit()) return 10;
            return 0;
        });
        // Touching the settings from the background would have stopped the job (SIGTTOU).
        EXPECT_TRUE(endedWith(job.nextStatus(), 0));
        EXPECT_TRUE(sameSettings(terminal.settings(), original));
    }
}

TEST(KeyboardCheck, AnyDescriptorCanStandInForTheKeyboard) {
    int keys[2];
    ASSERT_EQ(pipe(keys), 0);
    console_input::useKeyboardForTesting(keys[0]);
    EXPECT_EQ(_kbhit(), 0);
    ASSERT_EQ(write(keys[1], "k", 1), 1);
    EXPECT_NE(_kbhit(), 0);
    EXPECT_NE(_kbhit(), 0);
    char key = 0;
    EXPECT_EQ(read(keys[0], &key, 1), 1);
    EXPECT_EQ(key, 'k');
    EXPECT_EQ(_kbhit(), 0);
    console_input::useKeyboardForTesting(-1);
    EXPECT_EQ(_kbhit(), 0);
    close(keys[0]);
    close(keys[1]);
}

}  // namespace
