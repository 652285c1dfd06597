// The kernel model held to the kernel it models: each row's steps are made on
// a real tree, with real system calls, and on the model, and the raw events
// each queues must be the same. What differs by nature is named by what it
// stands for: a watch descriptor by the path its directory had when watched,
// a cookie by its order in the story, a file handle by the path its object
// had when first seen, a process by whether it made the steps. The adapters
// only ever compare these with each other, never with a value of their own;
// the file system's id they do not read at all. Everything the simulation
// concludes rests on this.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/engine/fanotify_source.h"
#include "platform/linux/engine/inotify_mask.h"
#include "platform/linux/engine/linux_ports.h"
#include "tests/sim/kernel_model.h"

namespace {

using Kernel = KernelModel::Kernel;

// The changes of tests/sim/story.h, made by this one process, and "open P" /
// "close P": a directory kept open, as a reader keeps one it lists.
struct Row {
    const char* what;
    const char* tree;  // as KernelModel takes it
    const char* steps;
};

const Row kRows[] = {
    {"create_file", "a/", "touch a/f"},
    {"write", "f", "write f"},
    {"chmod_file", "a/f", "chmod a/f"},
    {"chmod_directory", "d/", "chmod d"},
    {"chmod_root", "f", "chmod ."},
    {"touch_existing", "f d/", "touch f; touch d"},
    {"unlink", "f", "rm f"},
    {"rmdir_watched", "d/", "rmdir d"},
    {"rmdir_watched_while_open", "d/", "open d; rmdir d; touch g; close d"},
    {"rename_in_place", "f", "mv f g"},
    {"rename_over_file", "f g", "mv f g"},
    {"rename_directory_over_empty_one", "d/x e/", "mv d e"},
    {"move_between_directories", "a/f b/", "mv a/f b/f"},
    {"move_file_out_and_in", "f ~/g", "mv f ~/f; mv ~/g g"},
    {"move_directory_out_then_change_it", "d/x", "mv d ~/d; touch ~/d/y"},
    {"move_directory_in", "~/d/x", "mv ~/d d; touch d/y"},
    {"same_name_moves_back_and_forth", "f", "mv f g; mv g f; mv f g"},
    {"write_after_unlink", "f", "hold f; rm f; write f"},
    {"mkdir_rmdir", "", "mkdir d; rmdir d"},
    {"create_modify", "", "touch f; write f"},
    {"create_unlink", "", "touch f; rm f"},
    {"identical_events_in_a_row", "f", "write f; write f"},
    {"two_moves_to_one_name", "~/a ~/b", "mv ~/a f; mv ~/b f"},
    {"rm_r", "d/e/f d/g", "rm -r d"},
    {"rename_subdirectory_with_children", "d/e/ d/f", "mv d x; touch x/e/g"},
    {"move_directory_between_directories", "a/d/ b/", "mv a/d b/d; touch b/d/f"},
    {"chmod_then_unlink", "f", "chmod f; rm f"},
    {"chmod_then_rmdir", "d/", "chmod d; rmdir d"},
    {"rmdir_then_mkdir", "d/", "rmdir d; mkdir d"},
    {"write_then_rename", "f", "write f; mv f g"},
    {"rename_over_file_elsewhere", "a/f b/f", "mv a/f b/f"},
    {"directory_over_watched_one_from_outside", "e/ ~/d/", "mv ~/d e; touch e/f"},
    {"chmod_then_replaced", "d/ e/", "chmod e; mv d e"},
    {"moves_back_and_forth_between_directories", "a/f b/", "mv a/f b/f; mv b/f a/f; mv a/f b/f"},
};

void PrintTo(const Row& row, std::ostream* out) { *out << row.tree << " | " << row.steps; }

// The same tree and steps on this machine's kernel, below `base`, which holds
// the root "w" and the directory beside it, "o".
struct RealDisk {
    std::string base;
    std::map<std::string, int> held;
    ~RealDisk() {
        for (const auto& [path, fd] : held) close(fd);
    }
    std::string at(const std::string& path) const {
        if (path == "~") return base + "/o";
        if (path.rfind("~/", 0) == 0) return base + "/o/" + path.substr(2);
        return base + "/w/" + path;
    }
    bool mkdir(const std::string& path) { return ::mkdir(at(path).c_str(), 0755) == 0; }
    bool touch(const std::string& path) {
        const int fd = open(at(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) return close(fd) == 0;
        return errno == EEXIST && utimensat(AT_FDCWD, at(path).c_str(), nullptr, 0) == 0;
    }
    bool write(const std::string& path) {
        const bool isHeld = held.count(path) != 0;
        const int fd = isHeld ? held[path] : open(at(path).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        const bool done = fd >= 0 && ::write(fd, "x", 1) == 1;
        if (fd >= 0 && !isHeld) close(fd);
        return done;
    }
    bool chmod(const std::string& path) {
        struct stat st;
        return stat(at(path).c_str(), &st) == 0 && ::chmod(at(path).c_str(), (st.st_mode & 07777) ^ 01) == 0;
    }
    bool remove(const std::string& path) {
        struct stat st;
        return lstat(at(path).c_str(), &st) == 0 && (S_ISDIR(st.st_mode) ? rmdir : unlink)(at(path).c_str()) == 0;
    }
    // In the model's order: a directory's entries by name, each before it.
    bool removeTree(const std::string& path) {
        std::set<std::string> names;
        if (DIR* dir = opendir(at(path).c_str())) {
            while (const dirent* entry = readdir(dir)) {
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                    names.insert(entry->d_name);
            }
            closedir(dir);
        }
        for (const std::string& name : names) removeTree(path.empty() ? name : path + "/" + name);
        return remove(path);
    }
    bool move(const std::string& from, const std::string& to) {
        return rename(at(from).c_str(), at(to).c_str()) == 0;
    }
    bool hold(const std::string& path) {
        const int fd = open(at(path).c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) held[path] = fd;
        return fd >= 0;
    }
    // The starting tree, read the way the model reads it.
    void build(const std::string& tree) {
        ::mkdir((base + "/w").c_str(), 0755);
        ::mkdir((base + "/o").c_str(), 0755);
        std::istringstream paths(tree);
        for (std::string path; paths >> path;) {
            const bool isDirectory = path.back() == '/';
            if (isDirectory) path.pop_back();
            for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
                mkdir(path.substr(0, slash));  // "~" is there already
            isDirectory ? mkdir(path) : touch(path);
        }
    }
};

template <class Disk> bool perform(Disk& disk, const std::string& step) {
    std::istringstream words(step);
    std::string verb, a, b;
    words >> verb >> a >> b;
    if (verb == "mkdir") return disk.mkdir(a);
    if (verb == "touch") return disk.touch(a);
    if (verb == "write") return disk.write(a);
    if (verb == "chmod") return disk.chmod(a);
    if (verb == "rm" && a == "-r") return disk.removeTree(b);
    if (verb == "rm" || verb == "rmdir") return disk.remove(a);
    if (verb == "mv") return disk.move(a, b);
    if (verb == "hold") return disk.hold(a);
    ADD_FAILURE() << "unknown step " << step;
    return false;
}

// Only the bits these masks can bring are named; any other shows as a number.
#define FLAG(prefix, name) {prefix##name, #name}
const std::pair<uint64_t, const char*> kInotifyFlags[] = {
    FLAG(IN_, MODIFY), FLAG(IN_, ATTRIB), FLAG(IN_, MOVED_FROM), FLAG(IN_, MOVED_TO), FLAG(IN_, CREATE),
    FLAG(IN_, DELETE), FLAG(IN_, DELETE_SELF), FLAG(IN_, UNMOUNT), FLAG(IN_, Q_OVERFLOW), FLAG(IN_, IGNORED),
    FLAG(IN_, ISDIR)};
const std::pair<uint64_t, const char*> kFanotifyFlags[] = {FLAG(FAN_, MODIFY), FLAG(FAN_, ATTRIB),
    FLAG(FAN_, CREATE), FLAG(FAN_, DELETE), FLAG(FAN_, RENAME), FLAG(FAN_, Q_OVERFLOW), FLAG(FAN_, ONDIR)};
#undef FLAG
#define RECORD(name) {uint64_t{1} << FAN_EVENT_INFO_TYPE_##name, #name}
const std::pair<uint64_t, const char*> kRecords[] = {RECORD(FID), RECORD(DFID_NAME), RECORD(OLD_DFID_NAME),
    RECORD(NEW_DFID_NAME)};
#undef RECORD

template <size_t N> std::string flags(uint64_t mask, const std::pair<uint64_t, const char*> (&names)[N]) {
    std::string out;
    for (const auto& [bit, name] : names) {
        if (!(mask & bit)) continue;
        out += (out.empty() ? "" : "|") + std::string(name);
        mask &= ~bit;
    }
    return mask == 0 ? out : out + "|" + std::to_string(mask);
}

// What one side of a story queued, in the words both sides share.
struct Trace {
    std::map<int, std::string> watched;          // wd -> path when watched
    std::map<std::string, std::string> handles;  // handle -> path when first seen
    std::set<std::string> labels;
    std::map<uint32_t, int> cookies;
    std::string lines;

    // An object that takes a name an earlier one had is told apart by a '.
    void see(const std::string& handle, std::string path) {
        if (handle.empty() || handles.count(handle) != 0) return;
        while (!labels.insert(path).second) path += "'";
        handles[handle] = path;
    }

    void inotify(const char* bytes, size_t size) {
        for (size_t at = 0; at + sizeof(inotify_event) <= size;) {
            const auto* event = reinterpret_cast<const inotify_event*>(bytes + at);
            at += sizeof(inotify_event) + event->len;
            lines += (watched.count(event->wd) ? watched[event->wd] : "?") + " " + flags(event->mask, kInotifyFlags);
            if (event->cookie != 0) {
                cookies.emplace(event->cookie, static_cast<int>(cookies.size()) + 1);
                lines += " cookie " + std::to_string(cookies[event->cookie]);
            }
            if (event->len != 0) lines += " " + std::string(event->name);
            lines += "\n";
        }
    }
    void fanotify(const char* bytes, size_t size, int pid) {
        for (size_t at = 0; at + sizeof(fanotify_event_metadata) <= size;) {
            fanotify_event_metadata event;
            std::memcpy(&event, bytes + at, sizeof event);
            lines += flags(event.mask, kFanotifyFlags) + (event.pid == pid ? "" : " other process");
            for (size_t record = at + event.metadata_len; record < at + event.event_len;) {
                fanotify_event_info_header header;
                std::memcpy(&header, bytes + record, sizeof header);
                // The file system's id is the same for every record, and never read.
                const char* handle = bytes + record + sizeof header + sizeof(__kernel_fsid_t);
                uint32_t handleBytes;
                std::memcpy(&handleBytes, handle, sizeof handleBytes);
                const auto object = handles.find(std::string(handle, sizeof(file_handle) + handleBytes));
                lines += " " + flags(uint64_t{1} << header.info_type, kRecords) + "(";
                lines += object == handles.end() ? "?" : object->second;
                if (header.info_type != FAN_EVENT_INFO_TYPE_FID && header.info_type != FAN_EVENT_INFO_TYPE_DFID)
                    lines += " " + std::string(handle + sizeof(file_handle) + handleBytes);
                lines += ")";
                record += header.len == 0 ? event.event_len : header.len;
            }
            lines += "\n";
            at += event.event_len == 0 ? size : event.event_len;
        }
    }
};

// Every path on the model's disk now, the root "" and the directory beside it "~".
std::vector<std::string> pathsOf(KernelModel& model) {
    std::vector<std::string> paths{"", "~"};
    for (std::string path : model.tree()) {
        if (path.back() == '/') path.pop_back();
        paths.push_back(path);
    }
    for (const std::string& path : model.entries(true, false)) paths.push_back(path);
    return paths;
}

std::string realHandle(const std::string& path) {
    struct {
        file_handle header;
        unsigned char bytes[MAX_HANDLE_SZ];
    } handle;
    handle.header.handle_bytes = MAX_HANDLE_SZ;
    int mountId = 0;
    if (name_to_handle_at(AT_FDCWD, path.c_str(), &handle.header, &mountId, 0) != 0) return {};
    return std::string(reinterpret_cast<const char*>(&handle), sizeof(file_handle) + handle.header.handle_bytes);
}

// Every object is named by the path it had when the story first saw it.
void noteHandles(KernelModel& model, RealDisk& real, Trace& modelSide, Trace& realSide) {
    for (const std::string& path : pathsOf(model)) {
        const std::string label = path.empty() ? "." : path;
        modelSide.see(model.handleOf(path), label);
        realSide.see(realHandle(real.at(path)), label);
    }
}

// Everything is queued by the system calls themselves, so once the first
// event is there, a read that finds the queue empty has seen them all; the
// wait is only there for a kernel that is slow to say so.
template <class Port, class Take> void readAll(Port& port, Take take) {
    pollfd ready{port.fd(), POLLIN, 0};
    if (ready.fd >= 0) poll(&ready, 1, 5000);  // the model has no descriptor
    std::vector<char> buffer(1 << 16);
    for (size_t got; (got = port.read(buffer.data(), buffer.size())) > 0;) take(buffer.data(), got);
}

std::string tempDirectory() {
    char path[] = "/tmp/pathwarden-honesty-XXXXXX";
    return mkdtemp(path) != nullptr ? path : "";
}

class Honesty : public testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        base_ = tempDirectory();
        ASSERT_FALSE(base_.empty()) << std::strerror(errno);
    }
    void TearDown() override {
        if (rootFd_ >= 0) close(rootFd_);
        if (mounted_ && umount2(base_.c_str(), 0) != 0) umount2(base_.c_str(), MNT_DETACH);
        RealDisk disk{base_, {}};
        if (!mounted_) disk.removeTree("~"), disk.removeTree("");
        rmdir((base_ + "/w").c_str());
        rmdir((base_ + "/o").c_str());
        rmdir(base_.c_str());
    }
    // Tells the row on both sides and compares what each queued.
    void tell(Kernel kernel);

    std::string base_;
    int rootFd_ = -1;
    bool mounted_ = false;
};

void Honesty::tell(Kernel kernel) {
    const Row& row = GetParam();
    KernelModel model(row.tree, kernel);
    RealDisk real{base_, {}};
    real.build(row.tree);
    Trace modelSide, realSide;
    std::unique_ptr<LinuxInotifyPort> inotify;
    std::unique_ptr<LinuxFanotifyPort> fanotify;
    int error = 0;
    if (kernel == Kernel::Inotify) {
        inotify = LinuxInotifyPort::open(inotifyMaskFor(0x5F), error);
        ASSERT_TRUE(inotify) << std::strerror(error);
        // Every directory of the tree, as the engine watches it: by what is open.
        for (const std::string& path : pathsOf(model)) {
            if (path.rfind("~", 0) == 0) continue;
            const int dir = model.disk().open(path, error);
            if (dir < 0) continue;
            const std::string label = path.empty() ? "." : path;
            modelSide.watched[model.inotify().addWatch(dir, error)] = label;
            model.disk().close(dir);
            const int realDir = open(real.at(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            realSide.watched[inotify->addWatch(realDir, error)] = label;
            close(realDir);
        }
    } else {
        rootFd_ = open(base_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        fanotify = LinuxFanotifyPort::open(rootFd_, FanotifySource::maskFor(0x5F), error);
        if (!fanotify) GTEST_SKIP() << "no fanotify mark on a whole file system here: " << std::strerror(error);
        noteHandles(model, real, modelSide, realSide);
    }
    std::istringstream steps(row.steps);
    std::map<std::string, std::pair<int, int>> open;  // directories kept open, as a reader may
    for (std::string step; std::getline(steps, step, ';');) {
        std::istringstream words(step);
        std::string verb, path;
        words >> verb >> path;
        if (verb == "open") {
            open[path] = {model.disk().open(path, error), ::open(real.at(path).c_str(), O_RDONLY | O_DIRECTORY)};
            continue;
        }
        if (verb == "close") {
            model.disk().close(open[path].first);
            close(open[path].second);
            continue;
        }
        const bool onModel = perform(model, step), onKernel = perform(real, step);
        EXPECT_EQ(onModel, onKernel) << step << ": " << std::strerror(errno);
        if (fanotify) noteHandles(model, real, modelSide, realSide);
    }
    if (inotify) {
        readAll(model.inotify(), [&](const char* bytes, size_t size) { modelSide.inotify(bytes, size); });
        readAll(*inotify, [&](const char* bytes, size_t size) { realSide.inotify(bytes, size); });
    } else {
        readAll(model.fanotify(), [&](const char* bytes, size_t size) { modelSide.fanotify(bytes, size, 1); });
        readAll(*fanotify, [&](const char* bytes, size_t size) { realSide.fanotify(bytes, size, getpid()); });
    }
    EXPECT_EQ(modelSide.lines, realSide.lines) << "model first, then this kernel";
}

TEST_P(Honesty, Inotify) { tell(Kernel::Inotify); }

// On a file system of its own, so that no other process's changes are queued.
TEST_P(Honesty, Fanotify) {
    if (geteuid() != 0) GTEST_SKIP() << "fanotify marks on a whole file system need root";
    if (mount("tmpfs", base_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=0755") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    mounted_ = true;
    tell(Kernel::Fanotify);
}

INSTANTIATE_TEST_SUITE_P(KernelModel, Honesty, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.what); });

}  // namespace
