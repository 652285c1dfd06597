// Kernel objects behind HANDLE values. A HANDLE is the address of an object
// that derives from KernelObject; a registry makes a stale or made-up handle
// fail with ERROR_INVALID_HANDLE instead of touching freed memory.
#pragma once

#include "platform/platform.h"

class KernelObject {
public:
    virtual ~KernelObject() = default;
};

/// Registers a new object and returns its handle.
HANDLE registerHandle(KernelObject* object);

/// The object behind a live handle, or nullptr (last error set to ERROR_INVALID_HANDLE).
KernelObject* objectFromHandle(HANDLE handle);

/// The object behind a live handle if it is a T, else nullptr with the last error set.
template <typename T>
T* objectAs(HANDLE handle) {
    T* object = dynamic_cast<T*>(objectFromHandle(handle));
    if (object == nullptr) SetLastError(ERROR_INVALID_HANDLE);
    return object;
}
