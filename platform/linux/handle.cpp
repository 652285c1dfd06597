#include "platform/linux/handle.h"

#include <memory>
#include <mutex>
#include <unordered_set>

namespace {

std::mutex registryMutex;
std::unordered_set<KernelObject*>& registry() {
    static std::unordered_set<KernelObject*> objects;
    return objects;
}

}  // namespace

HANDLE registerHandle(KernelObject* object) {
    std::lock_guard<std::mutex> lock(registryMutex);
    registry().insert(object);
    return object;
}

KernelObject* objectFromHandle(HANDLE handle) {
    std::lock_guard<std::mutex> lock(registryMutex);
    auto* object = static_cast<KernelObject*>(handle);
    if (registry().count(object) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return object;
}

/*
 * CloseHandle
 * Note: closing a directory stops its change monitor and drops its outstanding
 * request without calling the completion routine; Windows would call it with
 * ERROR_OPERATION_ABORTED at the next alertable wait, which this program never
 * enters after closing.
 */
BOOL CloseHandle(HANDLE hObject) {
    std::unique_ptr<KernelObject> object;
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        auto* candidate = static_cast<KernelObject*>(hObject);
        if (registry().erase(candidate) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        object.reset(candidate);
    }
    object.reset();  // outside the lock: a directory's destructor joins its thread
    return TRUE;
}
