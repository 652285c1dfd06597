#include "tests/fake_disk.h"

#include <cerrno>
#include <sstream>
#include <stdexcept>
#include <sys/inotify.h>

FakeDisk::FakeDisk(const std::string& tree, Kernel kernel) : kernel_(kernel) {
    nodes_.push_back(Node{"", -1, true, {}, -1});
    nodes_.push_back(Node{"~", -1, true, {}, -1});
    std::istringstream paths(tree);
    std::string path, name;
    while (paths >> path) {
        const bool isDirectory = path.back() == '/';
        if (isDirectory) path.pop_back();
        // Each prefix up to a slash is a parent, made if missing.
        size_t end = 0;
        do {
            end = path.find('/', end + 1);
            const std::string part = path.substr(0, end);
            if (find(part) < 0) add(findParent(part, name), name, isDirectory || end != std::string::npos);
        } while (end != std::string::npos);
    }
}

int FakeDisk::add(int parent, const std::string& name, bool isDirectory) {
    nodes_.push_back(Node{name, parent, isDirectory, {}, -1});
    const int node = static_cast<int>(nodes_.size()) - 1;
    nodes_[parent].children[name] = node;
    return node;
}

int FakeDisk::find(const std::string& path) const {
    if (path == "~") return outside_;
    int at = path.rfind("~/", 0) == 0 ? outside_ : root_;
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

int FakeDisk::findParent(const std::string& path, std::string& name) const {
    const size_t slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    return existing(slash == std::string::npos ? "" : path.substr(0, slash));
}

// A story that changes what is not there is wrong itself.
int FakeDisk::existing(const std::string& path) const {
    const int node = find(path);
    if (node < 0) throw std::invalid_argument("no " + path + " on the disk");
    return node;
}

// In the watched tree: neither outside it nor unlinked.
bool FakeDisk::inside(int node) const {
    while (node != -1 && node != root_) node = nodes_[node].parent;
    return node == root_;
}

std::string FakeDisk::pathOf(int node) const {
    std::string path;
    for (int at = node; at != root_ && at != -1; at = nodes_[at].parent) {
        path = nodes_[at].name + (path.empty() ? "" : "/") + path;
    }
    return path;
}

// With fanotify every directory has its key (its file handle) for life.
int FakeDisk::keyOf(int node) {
    if (nodes_[node].key < 0) {
        nodes_[node].key = nextKey_++;
        keys_[nodes_[node].key] = node;
    }
    return nodes_[node].key;
}

void FakeDisk::queueEvent(int dir, uint32_t mask, const std::string& name, uint32_t cookie, int child, bool alone) {
    if (full_) return;
    int watch = -1;
    if (kernel_ == Kernel::Inotify) {
        if (nodes_[dir].key < 0) return;
        watch = nodes_[dir].key;
    } else {
        if (!inside(dir)) return;
        watch = keyOf(dir);
        if (child >= 0) child = keyOf(child);
    }
    std::vector<Link> places;
    for (int at = dir; kernel_ == Kernel::Fanotify && at != root_; at = nodes_[at].parent) {
        places.insert(places.begin(), Link{keyOf(at), keyOf(nodes_[at].parent), nodes_[at].name});
    }
    names_.push_back(name);
    const KernelEvent event{watch, mask, cookie, names_.back(), kernel_ == Kernel::Fanotify ? child : -1, alone};
    queue_.push_back({event, std::move(places)});
}

void FakeDisk::mkdir(const std::string& path) {
    std::string name;
    const int parent = findParent(path, name);
    const int node = add(parent, name, true);
    queueEvent(parent, IN_CREATE | IN_ISDIR, name, 0, node);
}

void FakeDisk::touch(const std::string& path) {
    std::string name;
    const int parent = findParent(path, name);
    if (nodes_[parent].children.count(name) != 0) {
        chmod(path);
        return;
    }
    add(parent, name, false);
    queueEvent(parent, IN_CREATE, name);
}

void FakeDisk::write(const std::string& path) {
    const int node = existing(path);
    queueEvent(nodes_[node].parent, IN_MODIFY, nodes_[node].name);
}

void FakeDisk::chmod(const std::string& path) {
    const int node = existing(path);
    const uint32_t isDirectory = nodes_[node].isDirectory ? IN_ISDIR : 0;
    if (node != root_) queueEvent(nodes_[node].parent, IN_ATTRIB | isDirectory, nodes_[node].name);
    if (kernel_ == Kernel::Inotify && nodes_[node].key >= 0) queueEvent(node, IN_ATTRIB | isDirectory, "");
}

void FakeDisk::lock(const std::string& path, bool locked) {
    nodes_[existing(path)].locked = locked;
    chmod(path);
}

void FakeDisk::remove(const std::string& path) {
    const int node = existing(path);
    const Node removed = nodes_[node];
    unlink(node);
    const uint32_t isDirectory = removed.isDirectory ? IN_ISDIR : 0;
    if (node != root_) queueEvent(removed.parent, IN_DELETE | isDirectory, removed.name, 0, node);
    if (removed.isDirectory) dropWatch(node, true);
}

void FakeDisk::removeTree(const std::string& path) {
    const std::map<std::string, int> children = nodes_[existing(path)].children;  // a copy: removals change it
    for (const auto& [name, child] : children) removeTree(pathOf(child));
    remove(path);
}

void FakeDisk::move(const std::string& from, const std::string& to) {
    const int node = existing(from);
    std::string name;
    const int target = findParent(to, name);
    const int oldParent = nodes_[node].parent;
    const std::string oldName = nodes_[node].name;
    const auto replaced = nodes_[target].children.find(name);
    const int victim = replaced != nodes_[target].children.end() ? replaced->second : -1;
    if (victim >= 0) unlink(victim);
    unlink(node);
    nodes_[node].name = name;
    nodes_[node].parent = target;
    nodes_[target].children[name] = node;
    const uint32_t isDirectory = nodes_[node].isDirectory ? IN_ISDIR : 0;
    const bool fromInside = inside(oldParent);
    const bool toInside = inside(target);
    if (kernel_ == Kernel::Fanotify && fromInside != toInside) {
        // One event with both ends: the interface knows when one is outside.
        if (fromInside) queueEvent(oldParent, IN_MOVED_FROM | isDirectory, oldName, 0, node, true);
        if (toInside) queueEvent(target, IN_MOVED_TO | isDirectory, name, 0, node);
    } else {
        const uint32_t cookie = nextCookie_++;
        queueEvent(oldParent, IN_MOVED_FROM | isDirectory, oldName, cookie, node);
        queueEvent(target, IN_MOVED_TO | isDirectory, name, cookie, node);
    }
    if (victim >= 0 && nodes_[victim].isDirectory) dropWatch(victim, false);
}

void FakeDisk::overflow() {
    queue_.push_back({KernelEvent{-1, IN_Q_OVERFLOW, 0, "", -1, false}, {}});
    full_ = true;
}

void FakeDisk::runHook(const std::string& moment) {
    const auto found = hooks_.lower_bound(moment);  // the first one set for the moment
    if (found == hooks_.end() || found->first != moment) return;
    const std::function<void()> change = std::move(found->second);
    hooks_.erase(found);
    change();
}

// A deleted directory's watch says so and goes; one replaced by a rename
// only goes.
void FakeDisk::dropWatch(int node, bool deleted) {
    if (kernel_ == Kernel::Fanotify && node == root_) {
        // Said once the queue has been read to the removal (see FanotifySource).
        queue_.push_back({KernelEvent{nodes_[root_].key, IN_DELETE_SELF, 0, "", -1, false}, {}});
    }
    if (kernel_ != Kernel::Inotify || nodes_[node].key < 0) return;
    if (deleted) queueEvent(node, IN_DELETE_SELF, "");
    queueEvent(node, IN_IGNORED, "");
    keys_.erase(nodes_[node].key);
    nodes_[node].key = -1;
}

void FakeDisk::unlink(int node) {
    if (nodes_[node].parent >= 0) nodes_[nodes_[node].parent].children.erase(nodes_[node].name);
    nodes_[node].parent = -1;
}

int FakeDisk::open(const std::string& path, int& error) {
    const int node = find(path);
    return handle(node >= 0 && inside(node) ? node : -1, error);
}

int FakeDisk::openChild(int dir, std::string_view name, int& error) {
    const Node& parent = nodes_[handles_.at(dir)];
    const auto found = parent.children.find(std::string(name));
    return handle(found == parent.children.end() ? -1 : found->second, error);
}

int FakeDisk::handle(int node, int& error) {
    if (node < 0 || !nodes_[node].isDirectory || nodes_[node].locked) {
        error = node < 0 ? ENOENT : !nodes_[node].isDirectory ? ENOTDIR : EACCES;
        return -1;
    }
    handles_[nextHandle_] = node;
    return nextHandle_++;
}

int FakeDisk::watch(int dir, int& error) {
    const int node = handles_.at(dir);
    if (nodes_[node].key < 0) {
        if (keys_.size() >= watchLimit_) {
            error = ENOSPC;
            return -1;
        }
        keyOf(node);
    }
    runHook("watching " + pathOf(node));
    return nodes_[node].key;
}

void FakeDisk::forget(int key, bool stillWatched) {
    const auto found = keys_.find(key);
    if (kernel_ == Kernel::Fanotify || found == keys_.end()) return;
    // The kernel says that it let go of the watch.
    if (stillWatched) queueEvent(found->second, IN_IGNORED, "");
    nodes_[found->second].key = -1;
    keys_.erase(found);
}

int FakeDisk::list(int dir, std::vector<Entry>& entries) {
    for (const auto& [name, child] : nodes_[handles_.at(dir)].children) {
        entries.push_back({name, nodes_[child].isDirectory});
    }
    runHook("listing " + pathOf(handles_.at(dir)));
    return 0;
}
