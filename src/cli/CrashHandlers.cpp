#include "cli/CrashHandlers.h"

#include <unistd.h>
#include <csignal>
#include <initializer_list>

namespace velmar {

namespace {
void onFatalSignal(int) { ::_exit(1); }
}  // namespace

void installCrashHandlers() {
  for (int signal : {SIGSEGV, SIGABRT, SIGILL, SIGBUS, SIGFPE}) {
    struct sigaction action {};
    action.sa_handler = onFatalSignal;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
  }
}

}  // namespace velmar
