// Captures what the program writes to standard output during a test.
#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>

/// Redirects standard output to a temporary file while it exists. consolePrint
/// writes through on every call (outside a ConsoleBatch), so text() sees every
/// completed call.
class ConsoleCapture {
public:
    ConsoleCapture() {
        std::fflush(stdout);
        file_ = std::tmpfile();
        saved_ = dup(1);
        dup2(fileno(file_), 1);
    }
    ~ConsoleCapture() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        std::fclose(file_);
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    /// Everything written so far, as bytes (UTF-8 on Linux).
    std::string text() const {
        std::string result;
        char chunk[4096];
        for (off_t at = 0;;) {
            ssize_t got = pread(fileno(file_), chunk, sizeof chunk, at);
            if (got <= 0) break;
            result.append(chunk, static_cast<size_t>(got));
            at += got;
        }
        return result;
    }

private:
    std::FILE* file_ = nullptr;
    int saved_ = -1;
};
