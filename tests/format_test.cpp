#include "platform/linux/utf16.h"
#include "platform/platform.h"
#include "tests/console_capture.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <climits>
#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <string_view>
#include <thread>

using testing::PrintToString;  // shows every code unit of a WString

namespace {

// Deliberately not terminated: the count alone must bound the read.
const WCHAR kUnterminated[3] = {u'x', u'y', u'z'};

TEST(ConsolePrint, FormatsEachConversion) {
    const std::pair<void (*)(), const char*> cases[] = {
        {[] { consolePrint(W("[%-13d]"), -42); }, "[-42          ]"},
        {[] { consolePrint(W("[%-13d]"), INT_MIN); }, "[-2147483648  ]"},
        {[] { consolePrint(W("[%-3d]"), 123456); }, "[123456]"},
        {[] { consolePrint(W("[%-4d]"), -123); }, "[-123]"},
        {[] { consolePrint(W("%ld"), static_cast<DWORD>(0xFFFFFFFF)); }, "-1"},
        {[] { consolePrint(W("%ld"), static_cast<LONG>(INT32_MIN)); }, "-2147483648"},
        {[] { consolePrint(W("%d %d"), 0, 2147483647); }, "0 2147483647"},
        {[] { consolePrint(W("%lx %lx"), static_cast<DWORD>(0xFFFFFFFF), static_cast<LONG>(-2)); }, "ffffffff fffffffe"},
        {[] { consolePrint(W("0x%lx 0x%lx"), 0, 0xC0); }, "0x0 0xc0"},
        {[] { consolePrint(W("[%.*s]"), 3, W("abcdef")); }, "[abc]"},
        {[] { consolePrint(W("[%.*s]"), -1, W("abcdef")); }, "[abcdef]"},
        {[] { consolePrint(W("[%.*s]"), 0, W("abcdef")); }, "[]"},
        {[] { consolePrint(W("[%.*s]"), 9, WString(W("ab"))); }, "[ab]"},
        {[] { consolePrint(W("[%.*s]"), 3, kUnterminated); }, "[xyz]"},
        {[] { consolePrint(W("[%.*s]"), 2, std::basic_string_view<WCHAR>(kUnterminated, 3)); }, "[xy]"},
        {[] { consolePrint(W("[%s]"), static_cast<const WCHAR*>(nullptr)); }, "[(null)]"},
        {[] { consolePrint(W("[%-6s]"), W("ab")); }, "[ab    ]"},
        {[] { consolePrint(W("100%% %s%%"), W("x")); }, "100% x%"},
        {[] { consolePrint(W("%%d%%s")); }, "%d%s"},
        {[] { consolePrint(W("Notified with %ld bytes.\n"), static_cast<DWORD>(32768)); },
         "Notified with 32768 bytes.\n"},
    };
    for (const auto& [print, expected] : cases) {
        ConsoleCapture capture;
        print();
        EXPECT_EQ(capture.text(), expected);
    }
}

TEST(ConsolePrint, EscapesTextBetweenTheFormatsQuotesAndNoOtherText) {
    struct Case {
        WString text;
        std::string quoted;  // as printed between quotes; elsewhere it is its bytes (appendBytes)
    };
    const std::string replacement = "\xEF\xBF\xBD";
    const Case cases[] = {
        {WString{'a', ' ', '?', '%', '\'', '~'}, "a ?%'~"},
        {WString{0xE9, 0xA0, 0xD83D, 0xDE00}, "\xC3\xA9\xC2\xA0\xF0\x9F\x98\x80"},
        {WString{'"', '\\', '"'}, "\\\"\\\\\\\""},
        {WString{'\a', '\b', '\t', '\n', '\v', '\f', '\r'}, "\\a\\b\\t\\n\\v\\f\\r"},
        {WString{'a', 0, 1, 6, 0x0E, 0x1B, 0x1F, 0x7F, 'b'}, "a\\000\\001\\006\\016\\033\\037\\177b"},
        // C1 controls and the Unicode line breaks, as their UTF-8 bytes; their neighbours print.
        {WString{0x80, 0x85, 0x9F, 0x2027, 0x2028, 0x2029, 0x202A},
         "\\302\\200\\302\\205\\302\\237\xE2\x80\xA7\\342\\200\\250\\342\\200\\251\xE2\x80\xAA"},
        // Bytes that were not UTF-8; the low half of a pair is no byte, a low after it is.
        {WString{'a', 0xDC80, 0xDCE9, 0xDCFF, 'b'}, "a\\200\\351\\377b"},
        {WString{0xD83D, 0xDC80, 0xDC80}, "\xF0\x9F\x92\x80\\200"},
        // Units no byte string gives print as U+FFFD, as they always have.
        {WString{'a', 0xD83D, '"'}, "a" + replacement + "\\\""},
        {WString{0xDE00, 0xDC7F, 0xDD00}, replacement + replacement + replacement},
    };
    for (const Case& c : cases) {
        const std::string bytes = bytesFromUtf16(c.text.data(), c.text.size());
        // The quotes of the format decide, however many substitutions lie between them.
        EXPECT_EQ(captured([&] {
                      consolePrint(W("%s \"%s%.*s\" %s|\x1B\t\n"), c.text, c.text, static_cast<int>(c.text.size()),
                                   c.text, c.text);
                  }),
                  bytes + " \"" + c.quoted + c.quoted + "\" " + bytes + "|\x1B\t\n")
            << PrintToString(c.text);
    }
}

TEST(ConsoleBatch, WritesWhenTheOutermostBatchEnds) {
    ConsoleCapture capture;
    {
        ConsoleBatch outer;
        consolePrint(W("one\n"));
        {
            ConsoleBatch inner;
            consolePrint(W("two\n"));
        }
        EXPECT_EQ(capture.text(), "");
        consolePrint(W("three\n"));
        EXPECT_EQ(capture.text(), "");
    }
    EXPECT_EQ(capture.text(), "one\ntwo\nthree\n");
    consolePrint(W("four\n"));
    EXPECT_EQ(capture.text(), "one\ntwo\nthree\nfour\n");
}

TEST(ConsoleBatch, LargeBatchWritesWholeCallsBeforeItEnds) {
    const WString wideLine(99, u'x');
    ConsoleCapture capture;
    {
        ConsoleBatch batch;
        for (int i = 0; i < 2000; ++i) consolePrint(W("%s\n"), wideLine);
        std::string early = capture.text();
        EXPECT_FALSE(early.empty());
        EXPECT_EQ(early.size() % 100, 0u);
    }
    EXPECT_EQ(capture.text().size(), 2000u * 100);
}

TEST(ConsoleOutput, AnOutputThatCanNeverBeWrittenEndsTheProgram) {
    // Not open for writing (as a closed standard output is held) or a device
    // that is always full: the report can go nowhere, and the watcher must
    // not run on as if it went somewhere.
    for (const auto& [device, flags] : {std::pair{"/dev/null", O_RDONLY}, std::pair{"/dev/full", O_WRONLY}}) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const int descriptor = open(device, flags);
            if (descriptor < 0 || dup2(descriptor, 1) != 1) _exit(1);
            consolePrint(W("nobody can have this\n"));
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << device << ": " << status;
    }
}

TEST(ConsoleOutput, AReaderThatLeftEndsTheProgram) {
    // Nobody will ever read the report again: the watcher must not run on.
    for (bool ignored : {false, true}) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::signal(SIGPIPE, ignored ? SIG_IGN : SIG_DFL);
            int ends[2];
            if (pipe(ends) != 0) _exit(1);
            close(ends[0]);
            dup2(ends[1], 1);
            consolePrint(W("nobody reads this\n"));
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(ignored ? WIFEXITED(status) && WEXITSTATUS(status) == 255
                            : WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE)
            << status;
    }
}

TEST(ConsoleOutput, SlowInterruptedReaderGetsEverything) {
    // Signals without SA_RESTART and a non-blocking pipe give short writes,
    // EINTR and EAGAIN: none of them may lose or repeat a byte.
    struct sigaction action {}, previous {};
    action.sa_handler = [](int) {};
    sigaction(SIGUSR1, &action, &previous);
    for (bool nonBlocking : {false, true}) {
        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        if (nonBlocking) fcntl(ends[1], F_SETFL, O_NONBLOCK);
        std::string expected, received;
        pthread_t writer = pthread_self();
        std::thread reader([&] {
            char chunk[4096];
            for (ssize_t got; (got = read(ends[0], chunk, sizeof chunk)) != 0;) {
                if (got > 0) received.append(chunk, static_cast<size_t>(got));
                pthread_kill(writer, SIGUSR1);
                usleep(200);
            }
        });
        {
            StandardOutputSwap swap(ends[1]);
            ConsoleBatch batch;
            for (int i = 0; i < 20000; ++i) {
                consolePrint(W("line %d of the slow reader\n"), i);
                expected += "line " + std::to_string(i) + " of the slow reader\n";
            }
        }
        reader.join();
        close(ends[0]);
        EXPECT_EQ(received.size(), expected.size());
        EXPECT_TRUE(received == expected) << "non-blocking " << nonBlocking;
    }
    sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace
