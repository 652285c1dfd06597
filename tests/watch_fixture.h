// A watched temporary directory for tests of the Linux change notification:
// issues requests with a completion routine and collects what was delivered.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/linux/utf16.h"
#include "platform/platform.h"

inline void touch(const std::string& path) { std::ofstream(path).close(); }

/// Opens a directory as the watcher does.
inline HANDLE openDirectory(const std::string& path) {
    return CreateFileW(utf16FromBytes(path).c_str(), FILE_LIST_DIRECTORY, 7, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
}

struct DeliveredRecord {
    DWORD action;
    std::string name;  // as bytes, relative to the watched directory
    bool operator==(const DeliveredRecord&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const DeliveredRecord& record) {
    return out << record.action << ':' << record.name;
}

class WatchFixture {
public:
    /// Makes a fresh temporary directory, removed with the fixture.
    WatchFixture() {
        char pattern[] = "/tmp/pathwarden-test-XXXXXX";
        const std::string base = mkdtemp(pattern);
        root = base + "/watched";
        outside = base + "/outside";
        std::filesystem::create_directory(root);
        std::filesystem::create_directory(outside);
    }
    ~WatchFixture() {
        if (directory != INVALID_HANDLE_VALUE) CloseHandle(directory);
        if (event != nullptr) CloseHandle(event);
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::path(root).parent_path(), ignored);
    }

    /// Opens the directory and issues the first request; false on failure.
    bool start(bool recursive = true, DWORD bufferSize = 32768) {
        recursive_ = recursive;
        buffer_.assign(bufferSize, 0);
        directory = openDirectory(root);
        event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        overlapped_.hEvent = this;
        return directory != INVALID_HANDLE_VALUE && event != nullptr && issue();
    }

    /// Runs alertable waits until `done` holds or about 10 s pass.
    bool waitUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            const DWORD result = WaitForMultipleObjectsEx(1, &event, FALSE, 200, TRUE);
            if (result != WAIT_IO_COMPLETION && result != WAIT_TIMEOUT) return false;
        }
        return true;
    }
    bool waitFor(DWORD action, const std::string& name) {
        return waitUntil([&] { return has(action, name); });
    }
    bool has(DWORD action, const std::string& name) const {
        return std::ranges::find(records, DeliveredRecord{action, name}) != records.end();
    }

    /// Creates a sentinel file and waits for it: everything before it has been delivered.
    bool settle() {
        const std::string name = "sentinel-" + std::to_string(++sentinels_);
        touch(path(name));
        return waitFor(FILE_ACTION_ADDED, name);
    }

    std::string path(const std::string& relative) const { return root + "/" + relative; }

    std::string root;
    std::string outside;  // a sibling folder on the same file system, not watched
    HANDLE directory = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    std::vector<DeliveredRecord> records;
    std::vector<DWORD> completionErrors;
    std::vector<DWORD> completionBytes;
    DWORD reissueError = ERROR_SUCCESS;

private:
    bool issue() {
        return ReadDirectoryChangesW(directory, buffer_.data(), static_cast<DWORD>(buffer_.size()), recursive_, 0x5F,
                                     nullptr, &overlapped_, onCompleted) != FALSE;
    }

    static void WINAPI onCompleted(DWORD error, DWORD bytes, LPOVERLAPPED overlapped) {
        auto* self = static_cast<WatchFixture*>(overlapped->hEvent);
        self->completionErrors.push_back(error);
        self->completionBytes.push_back(bytes);
        for (DWORD at = 0; bytes != 0;) {
            FILE_NOTIFY_INFORMATION record;
            std::memcpy(&record, self->buffer_.data() + at, 12);
            std::u16string name(record.FileNameLength / 2, u'\0');
            std::memcpy(name.data(), self->buffer_.data() + at + 12, record.FileNameLength);
            self->records.push_back({record.Action, bytesFromUtf16(name.data(), name.size())});
            if (record.NextEntryOffset == 0) break;
            at += record.NextEntryOffset;
        }
        if (!self->issue()) self->reissueError = GetLastError();
    }

    OVERLAPPED overlapped_{};
    std::vector<unsigned char> buffer_;
    bool recursive_ = true;
    int sentinels_ = 0;
};
