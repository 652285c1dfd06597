#include "tests/sim/kernel_model.h"

#include <cerrno>
#include <cstring>
#include <sstream>
#include <sys/fanotify.h>
#include <sys/inotify.h>

#include "platform/linux/engine/fanotify_source.h"
#include "platform/linux/engine/inotify_mask.h"

namespace {

constexpr size_t kFanotifyHeader = sizeof(fanotify_event_metadata);
constexpr size_t kHandleBytes = 8;

uint64_t fanotifyBits(uint32_t what) {
    uint64_t bits = 0;
    if (what & IN_CREATE) bits |= FAN_CREATE;
    if (what & IN_DELETE) bits |= FAN_DELETE;
    if (what & IN_MODIFY) bits |= FAN_MODIFY;
    if (what & IN_ATTRIB) bits |= FAN_ATTRIB;
    return bits;
}

size_t padded(size_t size, size_t to) { return (size + to - 1) / to * to; }

}  // namespace

// The directories as the tracker reaches them: by path below the root.
class KernelModel::Directories : public Disk {
public:
    explicit Directories(KernelModel& model) : m_(model) {}
    int open(const std::string& path, int& error) override {
        return handle(path.empty() ? m_.root_ : m_.resolve(path), error);
    }
    int openChild(int dir, std::string_view name, int& error) override {
        const Node& parent = m_.nodes_[m_.handles_.at(dir)];
        const auto found = parent.children.find(std::string(name));
        return handle(found == parent.children.end() ? -1 : found->second, error);
    }
    void close(int dir) override {
        const int node = m_.handles_.at(dir);
        m_.handles_.erase(dir);
        --m_.nodes_[node].opened;
        m_.release(node);
    }
    int list(int dir, std::vector<Entry>& entries) override {
        const int node = m_.handles_.at(dir);
        std::set<std::string> seen;
        for (const auto& [name, child] : m_.nodes_[node].children) {
            entries.push_back({name, m_.nodes_[child].isDirectory});
            seen.insert(name);
        }
        // A change made while the directory is read: the listing shows the
        // names it had and those it has, as readdir may.
        m_.runHook("listing " + m_.pathOf(node));
        for (const auto& [name, child] : m_.nodes_[node].children) {
            if (seen.count(name) == 0) entries.push_back({name, m_.nodes_[child].isDirectory});
        }
        return 0;
    }
    int watch(int, int& error) override {
        error = EOPNOTSUPP;
        return -1;
    }
    void forget(int, bool) override {}

private:
    int handle(int node, int& error) {
        if (node < 0 || !m_.nodes_[node].isDirectory || m_.nodes_[node].locked) {
            error = node < 0 ? ENOENT : !m_.nodes_[node].isDirectory ? ENOTDIR : EACCES;
            return -1;
        }
        m_.handles_[m_.nextHandle_] = node;
        ++m_.nodes_[node].opened;
        return m_.nextHandle_++;
    }
    KernelModel& m_;
};

class KernelModel::Inotify : public InotifyPort {
public:
    explicit Inotify(KernelModel& model) : m_(model) {}
    int fd() const override { return -1; }
    size_t read(char* buffer, size_t size) override { return m_.read(buffer, size); }
    bool hasQueued() override { return !m_.queue_.empty() || !m_.deferred_.empty(); }
    int addWatch(int dir, int& error) override {
        const int node = m_.handles_.at(dir);
        Node& watched = m_.nodes_[node];
        if (watched.wd < 0) {
            if (m_.wds_.size() >= m_.watchLimit_) {
                error = ENOSPC;
                m_.lostAny_ = true;
                return -1;
            }
            // The kernel's range is far wider than any tree: one a story
            // narrowed grows rather than run out.
            if (m_.wds_.size() >= static_cast<size_t>(m_.wdRange_)) m_.wdRange_ = static_cast<int>(m_.wds_.size()) + 1;
            // Descriptors go round, as the kernel's do, skipping those in use.
            while (m_.wds_.count(m_.nextWd_) != 0 || m_.nextWd_ > m_.wdRange_) {
                m_.nextWd_ = m_.nextWd_ > m_.wdRange_ ? 1 : m_.nextWd_ + 1;
            }
            watched.wd = m_.nextWd_++;
            m_.wds_[watched.wd] = node;
        }
        const int wd = watched.wd;
        m_.runHook("watching " + m_.pathOf(node));
        return wd;
    }
    void removeWatch(int wd) override {
        const auto found = m_.wds_.find(wd);
        if (found == m_.wds_.end()) return;
        Event ignored;
        ignored.wd = wd;
        ignored.mask = IN_IGNORED;
        m_.push(ignored);
        m_.nodes_[found->second].wd = -1;
        m_.wds_.erase(found);
    }

private:
    KernelModel& m_;
};

class KernelModel::Fanotify : public FanotifyPort {
public:
    explicit Fanotify(KernelModel& model) : m_(model) {}
    int fd() const override { return -1; }
    size_t read(char* buffer, size_t size) override { return m_.read(buffer, size); }
    size_t queuedBytes() override {
        size_t bytes = 0;
        for (const Event& event : m_.queue_) bytes += m_.serialize(event, nullptr, SIZE_MAX);
        return bytes;
    }
    bool awaitEvents(int) override { return queuedBytes() > 0; }
    std::string handleOf(int dir, int&) override {
        const int node = m_.handles_.at(dir);
        m_.runHook("watching " + m_.pathOf(node));
        return handle(node);
    }
    bool placeOf(HandleBytes dir, std::string& parent, std::string& name) override {
        int node = decode(dir);
        if (node < 0) return false;
        // A rename is visible before its event is queued.
        m_.deferring_ = true;
        m_.runHook("looking " + m_.pathOf(node));
        m_.deferring_ = false;
        node = decode(dir);
        if (node < 0) return false;
        if (node == m_.top_) {
            parent.clear();
            name.clear();
            return true;
        }
        parent = handle(m_.nodes_[node].parent);
        name = m_.nodes_[node].name;
        return true;
    }
    bool directoriesIn(HandleBytes dir, size_t most, std::vector<std::pair<std::string, std::string>>& found) override {
        int node = decode(dir);
        if (node < 0) return false;
        std::vector<std::string> names;
        for (const auto& [name, child] : m_.nodes_[node].children) names.push_back(name);
        // The names are read first, and each is looked up after: a change
        // between the two is seen by the lookups, its event queued later.
        m_.deferring_ = true;
        m_.runHook("learning " + m_.pathOf(node));
        m_.deferring_ = false;
        if ((node = decode(dir)) < 0) return true;
        for (const std::string& name : names) {
            const auto child = m_.nodes_[node].children.find(name);
            if (found.size() < most && child != m_.nodes_[node].children.end() && m_.nodes_[child->second].isDirectory)
                found.emplace_back(name, handle(child->second));
        }
        return true;
    }
    bool holds(HandleBytes dir, std::string_view name, HandleBytes entry) override {
        const int node = decode(dir);
        if (node < 0) return false;
        const auto found = m_.nodes_[node].children.find(std::string(name));
        return found != m_.nodes_[node].children.end() && handle(found->second) == entry;
    }

    static std::string handle(int node) {
        std::string bytes(sizeof(uint32_t) * 2 + kHandleBytes, '\0');
        const uint32_t header[2] = {kHandleBytes, 1};
        const uint32_t body[2] = {static_cast<uint32_t>(node), 0x5eed};
        std::memcpy(bytes.data(), header, sizeof header);
        std::memcpy(bytes.data() + sizeof header, body, sizeof body);
        return bytes;
    }

private:
    // The node a handle names while it exists; -1 once it is gone (ESTALE).
    int decode(HandleBytes bytes) const {
        if (bytes.size() != sizeof(uint32_t) * 2 + kHandleBytes) return -1;
        uint32_t node;
        std::memcpy(&node, bytes.data() + sizeof(uint32_t) * 2, sizeof node);
        if (node >= m_.nodes_.size() || (!m_.nodes_[node].linked && static_cast<int>(node) != m_.top_)) return -1;
        return static_cast<int>(node);
    }
    KernelModel& m_;
};

KernelModel::KernelModel(const std::string& tree, Kernel kernel)
    : kernel_(kernel),
      directories_(new Directories(*this)),
      inotify_(new Inotify(*this)),
      fanotify_(new Fanotify(*this)) {
    nodes_.emplace_back();
    nodes_.back().isDirectory = true;
    add(top_, "w", true);
    add(top_, "o", true);
    std::istringstream paths(tree);
    std::string path, name;
    while (paths >> path) {
        const bool isDirectory = path.back() == '/';
        if (isDirectory) path.pop_back();
        // Each prefix up to a slash is a parent, made if missing; a path
        // through a file is left out.
        size_t end = path.rfind("~/", 0) == 0 ? 1 : 0;
        do {
            end = path.find('/', end + 1);
            const std::string part = path.substr(0, end);
            const int parent = parentOf(part, name);
            if (parent < 0) break;
            if (resolve(part) < 0) add(parent, name, isDirectory || end != std::string::npos);
        } while (end != std::string::npos);
    }
    for (int node = 0; node < static_cast<int>(nodes_.size()); ++node) note(node);
    original_ = static_cast<int>(nodes_.size());
}

KernelModel::Renames KernelModel::heardRenames() const {
    Renames renames;
    for (const int dir : renamedIn_) {
        bool steady = nodes_[root_].linked;
        for (int at = dir; steady && at != root_; at = nodes_[at].parent)
            steady = at < original_ && nodes_[at].linked && !nodes_[at].moved;
        if (steady) ++(dir == root_ ? renames.inRoot : renames.below);
    }
    return renames;
}

KernelModel::~KernelModel() {
    delete directories_;
    delete inotify_;
    delete fanotify_;
}

Disk& KernelModel::disk() { return *directories_; }
InotifyPort& KernelModel::inotify() { return *inotify_; }
FanotifyPort& KernelModel::fanotify() { return *fanotify_; }
std::string KernelModel::rootHandle() const { return Fanotify::handle(root_); }
std::string KernelModel::handleOf(const std::string& path) const {
    const int node = path.empty() ? root_ : resolve(path);
    return node < 0 ? std::string() : Fanotify::handle(node);
}

int KernelModel::add(int parent, const std::string& name, bool isDirectory) {
    nodes_.emplace_back();
    nodes_.back().name = name;
    nodes_.back().parent = parent;
    nodes_.back().isDirectory = isDirectory;
    const int node = static_cast<int>(nodes_.size()) - 1;
    nodes_[parent].children[name] = node;
    return node;
}

int KernelModel::resolve(const std::string& path) const {
    if (path == "~") return outside_;
    int at = path.rfind("~/", 0) == 0 ? outside_ : root_;
    if (!nodes_[at].linked) return -1;  // nothing is made in a removed directory
    std::istringstream parts(at == outside_ ? path.substr(2) : path);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty() || part == ".") continue;
        const auto found = nodes_[at].children.find(part);
        if (found == nodes_[at].children.end()) return -1;
        at = found->second;
    }
    return at;
}

int KernelModel::parentOf(const std::string& path, std::string& name) const {
    const size_t slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    const int parent = resolve(slash == std::string::npos ? "" : path.substr(0, slash));
    return parent >= 0 && nodes_[parent].isDirectory && !name.empty() && name != "." && name != "~" ? parent : -1;
}

bool KernelModel::inside(int node) const {
    while (node != -1 && node != root_) node = nodes_[node].linked ? nodes_[node].parent : -1;
    return node == root_ && nodes_[root_].linked;
}

std::string KernelModel::pathOf(int node) const {
    std::string path;
    for (int at = node; at != root_ && at > top_; at = nodes_[at].parent) {
        path = (at == outside_ ? "~" : nodes_[at].name) + (path.empty() ? "" : "/") + path;
    }
    return path;
}

void KernelModel::note(int node) {
    if (node <= outside_ || !inside(node)) return;
    existed_.insert(pathOf(node));
    for (const auto& [name, child] : nodes_[node].children) note(child);
}

void KernelModel::link(int node, int parent, const std::string& name) {
    nodes_[node].parent = parent;
    nodes_[node].name = name;
    nodes_[node].linked = true;
    nodes_[parent].children[name] = node;
}

void KernelModel::unlink(int node) {
    nodes_[nodes_[node].parent].children.erase(nodes_[node].name);
    nodes_[node].linked = false;
}

// A directory gone from the disk: its watch says so and goes, at once or at
// the last close of a descriptor that keeps it alive.
void KernelModel::release(int node) {
    Node& gone = nodes_[node];
    if (gone.linked || gone.wd < 0 || gone.opened > 0) return;
    selfEvent(node, IN_DELETE_SELF);
    selfEvent(node, IN_IGNORED);
    wds_.erase(gone.wd);
    gone.wd = -1;
}

void KernelModel::when(const std::string& moment, std::function<void()> change) {
    hooks_.emplace(moment, std::move(change));
}

void KernelModel::runHook(const std::string& moment) {
    const auto found = hooks_.lower_bound(moment);  // the first one set for the moment
    if (found == hooks_.end() || found->first != moment) return;
    const std::function<void()> change = std::move(found->second);
    hooks_.erase(found);
    change();
}

void KernelModel::entryEvent(int dir, uint32_t what, const std::string& name, int node, uint32_t cookie) {
    const bool isDirectory = nodes_[node].isDirectory;
    Event event;
    if (kernel_ == Kernel::Inotify) {
        if (nodes_[dir].wd < 0) return;
        if (!(inotifyMaskFor(0x5F) & what)) return;
        event.wd = nodes_[dir].wd;
        event.mask = what | (isDirectory ? IN_ISDIR : 0);
        event.cookie = cookie;
        event.name = name;
    } else {
        event.fanMask = fanotifyBits(what) | (isDirectory ? FAN_ONDIR : 0);
        if (!(FanotifySource::maskFor(0x5F) & event.fanMask & ~FAN_ONDIR)) return;
        event.pid = pid_;
        event.dir = dir;
        event.name = name;
        event.target = node;
    }
    push(std::move(event));
}

// An event on the object itself. fanotify tells of a directory's own
// attributes as of its entry ".", and of a file's link count by its handle alone.
void KernelModel::selfEvent(int node, uint32_t what) {
    Event event;
    if (kernel_ == Kernel::Inotify) {
        if (nodes_[node].wd < 0) return;
        event.wd = nodes_[node].wd;
        event.mask = what | (nodes_[node].isDirectory && what == IN_ATTRIB ? IN_ISDIR : 0);
    } else {
        if (what != IN_ATTRIB) return;
        event.fanMask = FAN_ATTRIB | (nodes_[node].isDirectory ? FAN_ONDIR : 0);
        event.pid = pid_;
        if (nodes_[node].isDirectory) {
            event.dir = node;
            event.name = ".";
        } else {
            event.target = node;
        }
    }
    push(std::move(event));
}

void KernelModel::renameEvent(int from, const std::string& fromName, int to, const std::string& toName, int node) {
    if (kernel_ == Kernel::Inotify) {
        const uint32_t cookie = nextCookie_++;
        entryEvent(from, IN_MOVED_FROM, fromName, node, cookie);
        // The kernel queues the halves one after the other: a read may come
        // between them.
        if (tearing_ == Tear::Next && nodes_[from].wd >= 0) tearing_ = Tear::Stash;
        entryEvent(to, IN_MOVED_TO, toName, node, cookie);
        tearing_ = Tear::No;
        return;
    }
    Event event;
    event.fanMask = FAN_RENAME | (nodes_[node].isDirectory ? FAN_ONDIR : 0);
    event.pid = pid_;
    event.oldDir = from;
    event.oldName = fromName;
    event.dir = to;
    event.name = toName;
    event.target = node;
    push(std::move(event));
}

KernelModel::Event KernelModel::overflowEvent() {
    Event event;
    event.mask = IN_Q_OVERFLOW;
    return event;
}

void KernelModel::push(Event event) {
    if (deferring_) {
        deferred_.push_back(std::move(event));
        return;
    }
    if (tearing_ == Tear::Stash) {
        tearing_ = Tear::No;
        torn_.push_back(std::move(event));
        return;
    }
    if (!torn_.empty()) queueTorn();
    // A change made after the look is queued after what the look saw.
    if (!deferred_.empty()) flushDeferred();
    if (kernel_ == Kernel::Inotify) {
        if (overflowed_ || queue_.size() >= queueLimit_) {
            if (queue_.back().mask != IN_Q_OVERFLOW) queue_.push_back(overflowEvent());
            lostAny_ = true;
            return;
        }
        // An event like the last one queued is merged into it. The cookie is
        // not compared: a second move to the same name, right after the
        // first, is lost with its cookie.
        if (!queue_.empty() && !(queue_.back().mask & IN_IGNORED) && queue_.back().mask == event.mask &&
            queue_.back().wd == event.wd && queue_.back().name == event.name)
            return;
        queue_.push_back(std::move(event));
        return;
    }
    // fanotify merges an event into the newest one still queued about the
    // same entry by the same process, where it stays.
    for (auto at = queue_.rbegin(); at != queue_.rend(); ++at) {
        if (at->pid == event.pid && ((at->fanMask ^ event.fanMask) & (FAN_ONDIR | FAN_RENAME)) == 0 &&
            at->dir == event.dir && at->name == event.name && at->oldDir == event.oldDir &&
            at->oldName == event.oldName && at->target == event.target) {
            at->fanMask |= event.fanMask;
            merged_ = true;
            return;
        }
    }
    queue_.push_back(std::move(event));
}

void KernelModel::flushDeferred() {
    std::vector<Event> deferred;
    deferred.swap(deferred_);
    for (Event& event : deferred) push(std::move(event));
}

bool KernelModel::overflow() {
    if (kernel_ != Kernel::Inotify) return false;  // fanotify's queue has no limit
    queue_.push_back(overflowEvent());
    lostAny_ = true;
    // Nothing more is queued until the queue is read.
    overflowed_ = true;
    return true;
}

size_t KernelModel::read(char* buffer, size_t size) {
    flushDeferred();
    size_t used = 0;
    while (!queue_.empty()) {
        const size_t length = serialize(queue_.front(), buffer + used, size - used);
        if (length == 0) break;
        used += length;
        queue_.pop_front();
    }
    if (used > 0) overflowed_ = false;
    return used;
}

void KernelModel::queueTorn() {
    std::vector<Event> torn;
    torn.swap(torn_);
    for (Event& event : torn) push(std::move(event));
}

namespace {

void putRecord(std::string& out, uint8_t type, const std::string& handle, const std::string* name) {
    const size_t start = out.size();
    const size_t length = padded(sizeof(fanotify_event_info_header) + sizeof(__kernel_fsid_t) + handle.size() +
                                     (name != nullptr ? name->size() + 1 : 0),
                                 4);
    out.resize(start + length, '\0');
    fanotify_event_info_header header{type, 0, static_cast<uint16_t>(length)};
    std::memcpy(out.data() + start, &header, sizeof header);
    std::memcpy(out.data() + start + sizeof header + sizeof(__kernel_fsid_t), handle.data(), handle.size());
    if (name != nullptr)
        std::memcpy(out.data() + start + sizeof header + sizeof(__kernel_fsid_t) + handle.size(), name->data(),
                    name->size());
}

}  // namespace

// The event's bytes as the kernel lays them out, written to out when they
// fit in room; 0 when they do not.
size_t KernelModel::serialize(const Event& event, char* out, size_t room) const {
    std::string bytes;
    if (kernel_ == Kernel::Inotify) {
        const size_t nameLength = event.name.empty() ? 0 : padded(event.name.size() + 1, sizeof(inotify_event));
        bytes.resize(sizeof(inotify_event) + nameLength, '\0');
        const inotify_event header{event.wd, event.mask, event.cookie, static_cast<uint32_t>(nameLength)};
        std::memcpy(bytes.data(), &header, sizeof header);
        std::memcpy(bytes.data() + sizeof header, event.name.data(), event.name.size());
    } else {
        bytes.resize(kFanotifyHeader, '\0');
        if (event.oldDir >= 0) {
            putRecord(bytes, FAN_EVENT_INFO_TYPE_OLD_DFID_NAME, Fanotify::handle(event.oldDir), &event.oldName);
            putRecord(bytes, FAN_EVENT_INFO_TYPE_NEW_DFID_NAME, Fanotify::handle(event.dir), &event.name);
        } else if (event.dir >= 0) {
            putRecord(bytes, FAN_EVENT_INFO_TYPE_DFID_NAME, Fanotify::handle(event.dir), &event.name);
        }
        if (event.target >= 0) putRecord(bytes, FAN_EVENT_INFO_TYPE_FID, Fanotify::handle(event.target), nullptr);
        fanotify_event_metadata metadata{};
        metadata.event_len = static_cast<uint32_t>(bytes.size());
        metadata.vers = FANOTIFY_METADATA_VERSION;
        metadata.metadata_len = kFanotifyHeader;
        metadata.mask = event.fanMask;
        metadata.fd = FAN_NOFD;
        metadata.pid = event.pid;
        std::memcpy(bytes.data(), &metadata, sizeof metadata);
    }
    if (bytes.size() > room) return 0;
    if (out != nullptr) std::memcpy(out, bytes.data(), bytes.size());
    return bytes.size();
}

bool KernelModel::mkdir(const std::string& path) {
    std::string name;
    const int parent = parentOf(path, name);
    if (parent < 0 || nodes_[parent].children.count(name) != 0) return false;
    const int node = add(parent, name, true);
    note(node);
    entryEvent(parent, IN_CREATE, name, node);
    return true;
}

bool KernelModel::touch(const std::string& path) {
    std::string name;
    const int parent = parentOf(path, name);
    if (parent < 0) return false;
    if (nodes_[parent].children.count(name) != 0) return chmod(path);
    const int node = add(parent, name, false);
    note(node);
    entryEvent(parent, IN_CREATE, name, node);
    return true;
}

bool KernelModel::write(const std::string& path) {
    int node = resolve(path);
    if (node < 0 && held_.count(path) != 0) node = held_[path];
    if (node < 0 || nodes_[node].isDirectory) return false;
    // A file written after its removal: inotify says nothing of it
    // (IN_EXCL_UNLINK), fanotify tells it under the name it had.
    if (nodes_[node].linked || kernel_ == Kernel::Fanotify)
        entryEvent(nodes_[node].parent, IN_MODIFY, nodes_[node].name, node);
    return true;
}

bool KernelModel::chmod(const std::string& path) {
    const int node = resolve(path);
    if (node < 0 || node == outside_) return false;
    if (kernel_ == Kernel::Fanotify && nodes_[node].isDirectory) {
        selfEvent(node, IN_ATTRIB);
        return true;
    }
    if (node != root_) entryEvent(nodes_[node].parent, IN_ATTRIB, nodes_[node].name, node);
    if (nodes_[node].isDirectory) selfEvent(node, IN_ATTRIB);
    return true;
}

bool KernelModel::lock(const std::string& path, bool locked) {
    const int node = resolve(path);
    if (node < 0 || !nodes_[node].isDirectory) return false;
    nodes_[node].locked = locked;
    return chmod(path);
}

bool KernelModel::remove(const std::string& path) {
    const int node = resolve(path);
    if (node < 0 || node == outside_ || (nodes_[node].isDirectory && !nodes_[node].children.empty())) return false;
    const int parent = nodes_[node].parent;
    const std::string name = nodes_[node].name;
    if (nodes_[node].isDirectory) {
        // The directory's own watch hears of it and goes before its parent
        // is told; while it is open, only at its last close.
        unlink(node);
        release(node);
        entryEvent(parent, IN_DELETE, name, node);
        return true;
    }
    selfEvent(node, IN_ATTRIB);  // fanotify: its link count, then its name
    entryEvent(parent, IN_DELETE, name, node);
    unlink(node);
    return true;
}

bool KernelModel::removeTree(const std::string& path) {
    const int node = resolve(path);
    if (node < 0 || node == outside_) return false;
    const std::map<std::string, int> children = nodes_[node].children;  // a copy: removals change it
    for (const auto& [name, child] : children) removeTree(path == "." ? name : path + "/" + name);
    return remove(path);
}

bool KernelModel::move(const std::string& from, const std::string& to) {
    const int node = resolve(from);
    std::string name;
    const int target = parentOf(to, name);
    if (node < 0 || node <= outside_ || target < 0) return false;
    for (int at = target; at != -1; at = nodes_[at].parent) {
        if (at == node) return false;  // into itself
    }
    const auto replaced = nodes_[target].children.find(name);
    const int victim = replaced != nodes_[target].children.end() ? replaced->second : -1;
    if (victim == node) return false;
    if (victim >= 0 && (nodes_[victim].isDirectory != nodes_[node].isDirectory ||
                        (nodes_[victim].isDirectory && !nodes_[victim].children.empty())))
        return false;
    const int oldParent = nodes_[node].parent;
    const std::string oldName = nodes_[node].name;
    if (nodes_[node].isDirectory) nodes_[node].moved = true;
    merged_ = false;
    renameEvent(oldParent, oldName, target, name, node);
    // A rename merged into an identical one still queued is not heard apart.
    if (oldParent == target && !nodes_[node].isDirectory && !merged_ &&
        (kernel_ == Kernel::Inotify ? nodes_[target].wd >= 0 : inside(target)))
        renamedIn_.push_back(target);
    if (victim >= 0) {
        // The entry replaced loses its link; a directory's own watch goes.
        selfEvent(victim, IN_ATTRIB);
        unlink(victim);
        release(victim);
    }
    unlink(node);
    link(node, target, name);
    note(node);
    return true;
}

bool KernelModel::hold(const std::string& path) {
    const int node = resolve(path);
    if (node < 0 || nodes_[node].isDirectory) return false;
    held_[path] = node;
    return true;
}

std::set<std::string> KernelModel::tree() const {
    std::set<std::string> paths;
    std::vector<int> pending{root_};
    while (!pending.empty()) {
        const int node = pending.back();
        pending.pop_back();
        for (const auto& [name, child] : nodes_[node].children) {
            paths.insert(pathOf(child) + (nodes_[child].isDirectory ? "/" : ""));
            pending.push_back(child);
        }
    }
    return paths;
}

std::vector<std::string> KernelModel::entries(bool outside, bool directoriesOnly) const {
    std::vector<std::string> found;
    std::vector<int> pending{outside ? outside_ : root_};
    while (!pending.empty()) {
        const int node = pending.back();
        pending.pop_back();
        for (const auto& [name, child] : nodes_[node].children) {
            if (!directoriesOnly || nodes_[child].isDirectory) found.push_back(pathOf(child));
            if (nodes_[child].isDirectory) pending.push_back(child);
        }
    }
    return found;
}
