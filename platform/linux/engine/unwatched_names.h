// Names of directories the tree does not watch although the reader holds
// them, in directories the tree has, and why: each is looked at again when
// that may have changed.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

class UnwatchedNames {
public:
    enum class Why {
        Stale,     ///< its path was stale when it had to be watched: at the queue's end
        Closed,    ///< not ours to read: when its attributes change
        Vanished,  ///< its watch went with no removal heard: at the queue's end
        Mounted,   ///< another file system is mounted on it: when the mount table changes
    };
    struct Name {
        int parentKey;
        std::string name;
        bool operator<(const Name& other) const {
            return parentKey != other.parentKey ? parentKey < other.parentKey : name < other.name;
        }
    };

    void note(int parentKey, std::string_view name, Why why);
    /// Forgets the name if it was noted for this reason; whether it was.
    bool forget(int parentKey, std::string_view name, Why why);
    /// Forgets the name, whatever the reason.
    void forgetAny(int parentKey, std::string_view name);
    /// Forgets every name in the directory with this key.
    void forgetIn(int parentKey);
    /// Takes the names noted for this reason in the directory with this key.
    std::vector<std::string> takeIn(int parentKey, Why why);
    /// Takes every name noted for this reason.
    std::vector<Name> takeAll(Why why);
    /// Takes the names due at the queue's end: the stale and vanished ones.
    std::vector<std::pair<Name, Why>> takeDue();
    /// Whether any is waiting for the queue's end.
    bool awaitQueueEnd() const { return waiting_ != 0; }
    bool empty() const { return names_.empty(); }
    void clear();

private:
    void erase(std::map<Name, Why>::iterator at);

    std::map<Name, Why> names_;
    size_t waiting_ = 0;  // those due at the queue's end
};
