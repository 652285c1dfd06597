#include "platform/linux/handle.h"

namespace {

// Nothing in the program signals its event: it only gives the alertable wait
// an object to wait on. So the object holds no state at all.
class EventObject : public KernelObject {};

}  // namespace

/*
 * CreateEventW
 * Note: named events, security attributes and signalling (SetEvent) are not
 * supported; the initial state must be non-signalled.
 */
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName) {
    (void)lpEventAttributes;
    (void)bManualReset;
    if (bInitialState || lpName != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return registerHandle(new EventObject);
}
