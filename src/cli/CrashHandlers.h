#pragma once

namespace velmar {

// Fatal signals (SIGSEGV, SIGABRT, SIGILL, SIGBUS, SIGFPE) end the process at
// once with status 1 and no output, so the host sees a plain failed exit.
void installCrashHandlers();

}  // namespace velmar
