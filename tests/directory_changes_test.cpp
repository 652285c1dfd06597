// The Linux change notification against real directories.
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/directory_object.h"
#include "tests/console_capture.h"
#include "tests/watch_fixture.h"

namespace fs = std::filesystem;

namespace {

auto openDescriptors() { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); }

std::vector<DeliveredRecord> without(std::vector<DeliveredRecord> records, DWORD action) {
    std::erase_if(records, [&](const DeliveredRecord& record) { return record.action == action; });
    return records;
}

/// While it exists, no file may grow: writes to standard output, a file, fail
/// as on a full disk (EFBIG rather than ENOSPC, with SIGXFSZ ignored).
class NoFileGrowth {
public:
    NoFileGrowth() {
        getrlimit(RLIMIT_FSIZE, &saved_);
        signal_ = signal(SIGXFSZ, SIG_IGN);
        const rlimit none{0, saved_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &none);
    }
    ~NoFileGrowth() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, signal_);
    }

private:
    rlimit saved_{};
    sighandler_t signal_;
};

}  // namespace

TEST(DirectoryChanges, EachKindOfChangeOnDisk) {
    WatchFixture w;
    fs::create_directory(w.path("sub"));
    touch(w.path("file"));
    touch(w.outside + "/incoming");
    ASSERT_TRUE(w.start());

    struct Case {
        const char* what;
        std::function<void()> change;
        std::vector<DeliveredRecord> expected;
    } cases[] = {
        {"create", [&] { touch(w.path("new")); }, {{FILE_ACTION_ADDED, "new"}}},
        {"mkdir", [&] { fs::create_directory(w.path("dir")); }, {{FILE_ACTION_ADDED, "dir"}}},
        {"hard link", [&] { link(w.path("file").c_str(), w.path("link").c_str()); }, {{FILE_ACTION_ADDED, "link"}}},
        {"symlink", [&] { fs::create_symlink("file", w.path("symlink")); }, {{FILE_ACTION_ADDED, "symlink"}}},
        {"write", [&] { std::ofstream(w.path("file"), std::ios::app) << "more"; },
         {{FILE_ACTION_MODIFIED, "file"}}},
        {"chmod", [&] { chmod(w.path("file").c_str(), 0600); }, {{FILE_ACTION_MODIFIED, "file"}}},
        {"rename in place",
         [&] { fs::rename(w.path("new"), w.path("renamed")); },
         {{FILE_ACTION_RENAMED_OLD_NAME, "new"}, {FILE_ACTION_RENAMED_NEW_NAME, "renamed"}}},
        {"move between directories",
         [&] { fs::rename(w.path("renamed"), w.path("sub/moved")); },
         {{FILE_ACTION_REMOVED, "renamed"}, {FILE_ACTION_ADDED, "sub/moved"}}},
        {"move out", [&] { fs::rename(w.path("sub/moved"), w.outside + "/gone"); }, {{FILE_ACTION_REMOVED, "sub/moved"}}},
        {"move in", [&] { fs::rename(w.outside + "/incoming", w.path("incoming")); }, {{FILE_ACTION_ADDED, "incoming"}}},
        {"delete", [&] { fs::remove(w.path("incoming")); }, {{FILE_ACTION_REMOVED, "incoming"}}},
        {"rmdir", [&] { fs::remove(w.path("dir")); }, {{FILE_ACTION_REMOVED, "dir"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        w.records.clear();
        c.change();
        ASSERT_TRUE(w.settle());
        auto got = w.records;
        got.pop_back();  // the sentinel
        // Opening a file for writing also changes its times: those MODIFIED
        // records are real, but not what this row is about.
        if (c.expected[0].action != FILE_ACTION_MODIFIED) got = without(got, FILE_ACTION_MODIFIED);
        EXPECT_EQ(got, c.expected);
    }
}

TEST(DirectoryChanges, NewDirectoriesAreWatchedAndTheirEarlyContentsListed) {
    WatchFixture w;
    ASSERT_TRUE(w.start());
    // Files made at once inside new directories race the watch on them; the
    // listing after the watch is added must report every one, exactly once.
    std::vector<std::string> files;
    for (int chain = 0; chain < 5; ++chain) {
        const std::string dir = "c" + std::to_string(chain) + "/a/b/c";
        fs::create_directories(w.path(dir));
        for (int i = 0; i < 20; ++i) touch(w.path(files.emplace_back(dir + "/f" + std::to_string(i))));
    }
    ASSERT_TRUE(w.settle());
    for (const std::string& name : files)
        EXPECT_EQ(std::ranges::count(w.records, DeliveredRecord{FILE_ACTION_ADDED, name}), 1) << name;
}

TEST(DirectoryChanges, MovedDirectoriesAreFollowed) {
    WatchFixture w;
    fs::create_directories(w.path("a/deep"));
    fs::create_directories(w.path("b"));
    fs::create_directories(w.outside + "/in/side");
    ASSERT_TRUE(w.start());

    fs::rename(w.path("a"), w.path("b/a2"));  // moved within the tree
    touch(w.path("b/a2/deep/f"));
    EXPECT_TRUE(w.waitFor(FILE_ACTION_ADDED, "b/a2/deep/f"));

    fs::rename(w.path("b/a2"), w.outside + "/a3");  // moved out: never heard of again
    touch(w.outside + "/a3/deep/g");
    fs::rename(w.outside + "/in", w.path("in"));  // moved in: watched and listed
    touch(w.path("in/side/h"));
    ASSERT_TRUE(w.waitFor(FILE_ACTION_ADDED, "in/side/h")) << ::testing::PrintToString(w.records);
    EXPECT_TRUE(w.has(FILE_ACTION_REMOVED, "b/a2"));
    EXPECT_TRUE(w.has(FILE_ACTION_ADDED, "in"));
    // Listed, because files made in it before its watch existed would be lost otherwise.
    EXPECT_TRUE(w.has(FILE_ACTION_ADDED, "in/side"));
    for (const auto& record : w.records) EXPECT_EQ(record.name.find("deep/g"), std::string::npos);
}

TEST(DirectoryChanges, SymbolicLinksAreReportedButNotFollowed) {
    WatchFixture w;
    fs::create_directory(w.outside + "/target");
    fs::create_directory_symlink(w.outside + "/target", w.path("link"));
    fs::create_directory_symlink(".", w.path("loop"));
    ASSERT_TRUE(w.start());
    touch(w.outside + "/target/f");
    touch(w.path("link/g"));  // lands outside the tree
    ASSERT_TRUE(w.settle());
    EXPECT_EQ(w.records.size(), 1u);  // only the sentinel
}

TEST(DirectoryChanges, NonRecursiveWatchSeesOnlyTheRoot) {
    WatchFixture w;
    fs::create_directory(w.path("sub"));
    ASSERT_TRUE(w.start(false));
    touch(w.path("sub/inside"));
    fs::create_directory(w.path("newdir"));
    touch(w.path("newdir/inside"));
    fs::rename(w.path("sub"), w.path("sub2"));
    ASSERT_TRUE(w.settle());
    EXPECT_EQ(without(w.records, FILE_ACTION_MODIFIED),
              (std::vector<DeliveredRecord>{{FILE_ACTION_ADDED, "newdir"},
                                            {FILE_ACTION_RENAMED_OLD_NAME, "sub"},
                                            {FILE_ACTION_RENAMED_NEW_NAME, "sub2"},
                                            {FILE_ACTION_ADDED, "sentinel-1"}}));
}

TEST(DirectoryChanges, RecordsThatDoNotFitWaitForTheNextRequest) {
    WatchFixture w;
    ASSERT_TRUE(w.start(true, 64));  // room for two short records at most
    for (int i = 0; i < 30; ++i) fs::create_directory(w.path("d" + std::to_string(i)));
    ASSERT_TRUE(w.settle());
    ASSERT_EQ(w.records.size(), 31u);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(w.records[i], (DeliveredRecord{FILE_ACTION_ADDED, "d" + std::to_string(i)}));
    for (DWORD bytes : w.completionBytes) EXPECT_LE(bytes, 64u);
}

TEST(DirectoryChanges, ALoneOneCharacterNameIsAFourteenByteRecord) {
    WatchFixture w;
    ASSERT_TRUE(w.start());
    touch(w.path("x"));
    ASSERT_TRUE(w.waitFor(FILE_ACTION_ADDED, "x"));
    EXPECT_EQ(w.completionBytes.front(), 14u);  // 12-byte header + 2-byte name, as on Windows
}

TEST(DirectoryChanges, BacklogOverflowIsReportedAndWatchingGoesOn) {
    setBacklogLimitForTesting(1024);
    WatchFixture w;
    // A buffer of a few records leaves the rest of the burst to the backlog
    // however the reads fall, even when the burst is read all at once.
    const bool started = w.start(true, 64);
    setBacklogLimitForTesting(kBacklogLimitBytes);
    ASSERT_TRUE(started);
    for (int i = 0; i < 200; ++i) touch(w.path("f" + std::to_string(i)));
    ASSERT_TRUE(w.waitUntil([&] { return !w.completionBytes.empty() && w.completionBytes.back() == 0; }));
    EXPECT_EQ(w.completionErrors.back(), static_cast<DWORD>(ERROR_NOTIFY_ENUM_DIR));
    EXPECT_TRUE(w.settle());
}

// Reports wait while standard output owes what it could not write, and once
// it takes it, an overflow tells what the backlog could not hold meanwhile.
TEST(DirectoryChanges, OutputThatCannotBeWrittenYetHoldsReportsBack) {
    setBacklogLimitForTesting(1024);
    WatchFixture w;
    const bool started = w.start(true, 64);
    setBacklogLimitForTesting(kBacklogLimitBytes);
    ASSERT_TRUE(started);
    std::string output;
    {
        ConsoleCapture capture;
        {
            NoFileGrowth full;
            consolePrint(W("written once it can be\n"));
            for (int i = 0; i < 200; ++i) touch(w.path("f" + std::to_string(i)));
            for (int wait = 0; wait < 5; ++wait) WaitForMultipleObjectsEx(1, &w.event, FALSE, 200, TRUE);
            EXPECT_TRUE(w.completionBytes.empty());
        }
        ASSERT_TRUE(w.waitUntil([&] { return !w.completionBytes.empty(); }));
        output = capture.text();
    }
    EXPECT_EQ(output, "written once it can be\n");
    EXPECT_EQ(w.completionBytes.front(), 0u);
    EXPECT_TRUE(w.settle());
}

TEST(DirectoryChanges, DeletedRootEndsTheWatch) {
    WatchFixture w;
    ASSERT_TRUE(w.start());
    touch(w.path("last"));
    fs::remove_all(w.root);
    ASSERT_TRUE(w.waitUntil([&] { return !w.completionErrors.empty() && w.completionErrors.back() != 0; }));
    EXPECT_TRUE(w.has(FILE_ACTION_ADDED, "last"));
    EXPECT_EQ(w.completionBytes.back(), 0u);
    EXPECT_EQ(w.completionErrors.back(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(w.reissueError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(DirectoryChanges, CompletionsRunOnlyInsideTheAlertableWait) {
    WatchFixture w;
    ASSERT_TRUE(w.start());
    touch(w.path("f"));
    usleep(100 * 1000);
    EXPECT_TRUE(w.records.empty());
    EXPECT_EQ(WaitForMultipleObjectsEx(1, &w.event, FALSE, 300, FALSE), static_cast<DWORD>(WAIT_TIMEOUT))
        << "a wait that is not alertable delivers nothing";
    EXPECT_TRUE(w.records.empty());
    EXPECT_TRUE(w.waitFor(FILE_ACTION_ADDED, "f"));
}

TEST(DirectoryChanges, CloseHandleLeavesNoDescriptorOpen) {
    const auto before = openDescriptors();
    {
        WatchFixture w;
        fs::create_directories(w.path("a/b/c"));
        ASSERT_TRUE(w.start());
        touch(w.path("a/b/c/f"));
        ASSERT_TRUE(w.waitFor(FILE_ACTION_ADDED, "a/b/c/f"));
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(DirectoryChanges, OpenFailuresKeepWindowsDistinctions) {
    WatchFixture w;
    touch(w.path("file"));
    const std::pair<std::string, DWORD> cases[] = {
        {w.path("missing/"), ERROR_FILE_NOT_FOUND},
        {w.path("missing/deeper/"), ERROR_PATH_NOT_FOUND},
        {w.path("file/"), ERROR_DIRECTORY},
        {w.path("file/below/"), ERROR_PATH_NOT_FOUND},
        {"", ERROR_PATH_NOT_FOUND},
        {w.path(std::string(300, 'n') + "/"), ERROR_FILENAME_EXCED_RANGE},
    };
    for (const auto& [path, error] : cases) {
        EXPECT_EQ(openDirectory(path), INVALID_HANDLE_VALUE) << path;
        EXPECT_EQ(GetLastError(), error) << path;
    }
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x1234)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}
