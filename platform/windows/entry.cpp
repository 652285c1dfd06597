// The Windows entry: the C runtime hands us the arguments as UTF-16 already
// (-municode selects wmain), so there is nothing to convert.
#include "platform/program_entry.h"

int wmain(int argc, wchar_t** argv) {
    // Returning from wmain is a normal exit: the runtime flushes and then calls
    // ExitProcess with the int unchanged, so -1 reaches the caller as
    // 0xFFFFFFFF (cmd shows -1 in %ERRORLEVEL%, Wine's Unix side shows 255).
    return programMain(argc, argv);
}
