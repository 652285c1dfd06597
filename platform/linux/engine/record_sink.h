// Where the change tracker tells its records: one at a time, in the order the
// reader must read them, each an action and a path relative to the watched
// root as the disk names it (bytes). How they are laid out for a request is
// the record queue's business (record_queue.h).
#pragma once

#include <string_view>

#include "platform/platform.h"

class RecordSink {
public:
    virtual ~RecordSink() = default;
    virtual void add(DWORD action, std::string_view path) = 0;
};
