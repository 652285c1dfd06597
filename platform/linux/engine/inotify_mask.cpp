#include "platform/linux/engine/inotify_mask.h"

#include <sys/inotify.h>

namespace {
constexpr DWORD kContentFilters = FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
constexpr DWORD kAttributeFilters =
    FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_CREATION | FILE_NOTIFY_CHANGE_SECURITY;
}  // namespace

uint32_t inotifyMaskFor(DWORD notifyFilter) {
    // No IN_MOVE_SELF: a moved directory's parents say all there is to say,
    // and the event would come between the halves of a move that passed
    // through a directory not watched yet.
    uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF |
                    IN_ONLYDIR | IN_EXCL_UNLINK;
    if (notifyFilter & kContentFilters) mask |= IN_MODIFY;
    // Attribute changes are needed in any case: they tell when a directory we
    // could not read becomes readable.
    mask |= IN_ATTRIB;
    return mask;
}

bool filterAccepts(DWORD notifyFilter, DWORD action, bool isDirectory, bool content) {
    if (action != FILE_ACTION_MODIFIED) {
        return notifyFilter & (isDirectory ? FILE_NOTIFY_CHANGE_DIR_NAME : FILE_NOTIFY_CHANGE_FILE_NAME);
    }
    return notifyFilter & (content ? kContentFilters : kAttributeFilters);
}
