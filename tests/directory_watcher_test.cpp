#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "console_capture.h"
#include "platform/linux/utf16.h"
#include "watch/directory_watcher.h"

namespace {

namespace fs = std::filesystem;

/// A fresh directory under the test's temporary folder, removed afterwards.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        std::string pattern = testing::TempDir() + "pathwarden-XXXXXX";
        path_ = mkdtemp(pattern.data());
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

WString wide(const std::string& text) { return utf16FromBytes(text); }

void createFile(const std::string& path) { std::ofstream(path) << "x"; }

/// Sleeps in alertable waits, as the watch loop does, until the output holds
/// text; gives up after about 30 seconds so that a lost report fails the test.
std::string waitForOutput(DirectoryWatcher& watcher, const ConsoleCapture& capture, const std::string& text) {
    for (int wait = 0; wait < 150 && capture.text().find(text) == std::string::npos; ++wait)
        WaitForMultipleObjectsEx(1, &watcher.waitEvent, FALSE, 200, TRUE);
    return capture.text();
}

TEST(DirectoryWatcher, StartLineNamesThePathWithOneSeparator) {
    TemporaryDirectory directory;
    const std::string& dir = directory.path();
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
        std::string output;
        bool active = false;
        {
            ConsoleCapture capture;
            DirectoryWatcher watcher(wide(c.given), c.recursive);
            active = watcher.active;
            watcher.release();
            output = capture.text();
        }
        EXPECT_TRUE(active) << c.given;
        EXPECT_EQ(output, c.expected);
    }
}

TEST(DirectoryWatcher, FailedOpenShowsTheOpensOwnCodeAndStaysInactive) {
    TemporaryDirectory directory;
    const std::string file = directory.path() + "/plain";
    createFile(file);
    const std::string cases[] = {directory.path() + "/missing", directory.path() + "/missing/deeper", file};
    for (const std::string& given : cases) {
        // What the open itself reports, before anything else can overwrite it.
        HANDLE probe = CreateFileW(wide(given + "/").c_str(), FILE_LIST_DIRECTORY, 7, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
        const DWORD openError = GetLastError();
        ASSERT_EQ(probe, INVALID_HANDLE_VALUE) << given;
        ASSERT_NE(openError, DWORD(ERROR_SUCCESS));

        std::string output;
        bool active = true, issued = true;
        {
            ConsoleCapture capture;
            DirectoryWatcher watcher(wide(given), true);
            active = watcher.active;
            issued = watcher.issueRequest();
            watcher.release();
            watcher.release();
            output = capture.text();
        }
        EXPECT_FALSE(active);
        EXPECT_FALSE(issued);
        EXPECT_EQ(output, "Failed to open \"" + given + "/\": " + std::to_string(openError) + "\n");
    }
}

TEST(DirectoryWatcher, ReportsEveryRequestAndIssuesTheNext) {
    TemporaryDirectory directory;
    const std::string& dir = directory.path();
    std::string first, second;
    {
        ConsoleCapture capture;
        DirectoryWatcher watcher(wide(dir), false);
        createFile(dir + "/one");
        first = waitForOutput(watcher, capture, "\"" + dir + "/one\"\n");
        // Only a request issued from the completion routine can deliver this.
        createFile(dir + "/two");
        second = waitForOutput(watcher, capture, "\"" + dir + "/two\"\n");
        watcher.release();
    }
    EXPECT_NE(first.find("Notified with "), std::string::npos) << first;
    EXPECT_NE(first.find("    FILE_ACTION_ADDED               \"" + dir + "/one\"\n"), std::string::npos) << first;
    EXPECT_NE(second.find("    FILE_ACTION_ADDED               \"" + dir + "/two\"\n"), std::string::npos)
        << second;
}

TEST(DirectoryWatcher, RefusedRequestEndsReportsButNotTheWatcher) {
    TemporaryDirectory directory;
    const std::string root = directory.path() + "/root";
    fs::create_directory(root);
    std::string output;
    bool active = false;
    {
        ConsoleCapture capture;
        DirectoryWatcher watcher(wide(root), true);
        // A deleted root ends the outstanding request, and the next is refused.
        fs::remove(root);
        waitForOutput(watcher, capture, "ReadDirectoryChangesW failed on");
        for (int wait = 0; wait < 3; ++wait) WaitForMultipleObjectsEx(1, &watcher.waitEvent, FALSE, 200, TRUE);
        active = watcher.active;
        watcher.release();
        output = capture.text();
    }
    EXPECT_TRUE(active);
    const std::string refused = "ReadDirectoryChangesW failed on \"" + root + "/\": 5\n";
    ASSERT_NE(output.find(refused), std::string::npos) << output;
    EXPECT_EQ(output.size(), output.find(refused) + refused.size()) << output;
}

}  // namespace
