#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "console_capture.h"
#include "tests/watch_fixture.h"
#include "watch/directory_watcher.h"

namespace {

/// Sleeps in alertable waits, as the watch loop does, until the output holds
/// text; gives up after about 30 seconds so that a lost report fails the test.
std::string waitForOutput(DirectoryWatcher& watcher, const ConsoleCapture& capture, const std::string& text) {
    for (int wait = 0; wait < 150 && capture.text().find(text) == std::string::npos; ++wait)
        WaitForMultipleObjectsEx(1, &watcher.waitEvent, FALSE, 200, TRUE);
    return capture.text();
}

TEST(DirectoryWatcher, StartLineNamesThePathWithOneSeparator) {
    WatchFixture w;  // only for its directory
    const std::string& dir = w.root;
    struct Case {
        std::string given;
        bool recursive;
        std::string expected;
    };
    const Case cases[] = {
        {dir, true, "Watching \"" + dir + "/\" (recursive)\nPush any key to exit.\n"},
        {dir + "/", true, "Watching \"" + dir + "/\" (recursive)\nPush any key to exit.\n"},
        {dir, false, "Watching \"" + dir + "/\" (non-recursive)\nPush any key to exit.\n"},
        {dir + "//", false, "Watching \"" + dir + "//\" (non-recursive)\nPush any key to exit.\n"},
    };
    for (const Case& c : cases) {
        bool active = false;
        const std::string output = captured([&] {
            DirectoryWatcher watcher(utf16FromBytes(c.given), c.recursive);
            active = watcher.active;
            watcher.release();
        });
        EXPECT_TRUE(active) << c.given;
        EXPECT_EQ(output, c.expected);
    }
}

TEST(DirectoryWatcher, FailedOpenShowsTheOpensOwnCodeAndStaysInactive) {
    WatchFixture w;
    touch(w.path("plain"));
    for (const std::string& given : {w.path("missing"), w.path("missing/deeper"), w.path("plain")}) {
        // What the open itself reports, before anything else can overwrite it.
        HANDLE probe = openDirectory(given + "/");
        const DWORD openError = GetLastError();
        ASSERT_EQ(probe, INVALID_HANDLE_VALUE) << given;
        ASSERT_NE(openError, DWORD(ERROR_SUCCESS));

        bool active = true, issued = true;
        const std::string output = captured([&] {
            DirectoryWatcher watcher(utf16FromBytes(given), true);
            active = watcher.active;
            issued = watcher.issueRequest();
            watcher.release();
            watcher.release();
        });
        EXPECT_FALSE(active);
        EXPECT_FALSE(issued);
        EXPECT_EQ(output, "Failed to open \"" + given + "/\": " + std::to_string(openError) + "\n");
    }
}

TEST(DirectoryWatcher, ReportsEveryRequestAndIssuesTheNext) {
    WatchFixture w;  // only for its directory
    const std::string& dir = w.root;
    std::string first, second;
    {
        ConsoleCapture capture;
        DirectoryWatcher watcher(utf16FromBytes(dir), false);
        touch(dir + "/one");
        first = waitForOutput(watcher, capture, "\"" + dir + "/one\"\n");
        // Only a request issued from the completion routine can deliver this.
        touch(dir + "/two");
        second = waitForOutput(watcher, capture, "\"" + dir + "/two\"\n");
        watcher.release();
    }
    EXPECT_NE(first.find("Notified with "), std::string::npos) << first;
    EXPECT_NE(first.find("    FILE_ACTION_ADDED               \"" + dir + "/one\"\n"), std::string::npos) << first;
    EXPECT_NE(second.find("    FILE_ACTION_ADDED               \"" + dir + "/two\"\n"), std::string::npos)
        << second;
}

TEST(DirectoryWatcher, RefusedRequestEndsReportsButNotTheWatcher) {
    WatchFixture w;
    std::string output;
    bool active = false;
    bool outstanding = true;
    {
        ConsoleCapture capture;
        DirectoryWatcher watcher(utf16FromBytes(w.root), true);
        // A deleted root ends the outstanding request, and the next is refused.
        std::filesystem::remove(w.root);
        waitForOutput(watcher, capture, "ReadDirectoryChangesW failed on");
        for (int wait = 0; wait < 3; ++wait) WaitForMultipleObjectsEx(1, &watcher.waitEvent, FALSE, 200, TRUE);
        active = watcher.active;
        outstanding = watcher.requestOutstanding;
        watcher.release();
        output = capture.text();
    }
    EXPECT_TRUE(active);
    EXPECT_FALSE(outstanding) << "nothing more can be delivered";
    const std::string refused = "ReadDirectoryChangesW failed on \"" + w.root + "/\": 5\n";
    ASSERT_NE(output.find(refused), std::string::npos) << output;
    EXPECT_EQ(output.size(), output.find(refused) + refused.size()) << output;
}

}  // namespace
