// Captures what the program writes to standard output during a test.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

/// Puts another descriptor on standard output while it exists, taking it over.
class StandardOutputSwap {
public:
    explicit StandardOutputSwap(int replacement) : saved_(dup(1)) {
        std::fflush(stdout);
        dup2(replacement, 1);
        close(replacement);
    }
    ~StandardOutputSwap() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }
    StandardOutputSwap(const StandardOutputSwap&) = delete;
    StandardOutputSwap& operator=(const StandardOutputSwap&) = delete;

private:
    int saved_;
};

/// Redirects standard output to a temporary file while it exists. consolePrint
/// writes through on every call (outside a ConsoleBatch), so text() sees every
/// completed call.
class ConsoleCapture {
public:
    ~ConsoleCapture() { std::fclose(file_); }

    /// Everything written so far, as bytes (UTF-8 on Linux).
    std::string text() const {
        std::string result;
        char chunk[4096];
        for (ssize_t got; (got = pread(fileno(file_), chunk, sizeof chunk, static_cast<off_t>(result.size()))) > 0;)
            result.append(chunk, static_cast<size_t>(got));
        return result;
    }

private:
    std::FILE* file_ = std::tmpfile();
    StandardOutputSwap swap_{dup(fileno(file_))};
};

/// What `run` writes; the capture ends before the checks, which report on standard output too.
template <class Run>
std::string captured(Run run) {
    ConsoleCapture capture;
    run();
    return capture.text();
}
