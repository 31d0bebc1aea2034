#pragma once

#include <string_view>

namespace velmar {

// Writes all of `bytes` to `fd`: retries interrupted and partial writes, and
// waits for room on a descriptor left non-blocking by the parent rather than
// dropping. False when the descriptor fails (the reader went away); what was
// not written is lost, there is no one to tell. Blocks while the reader does
// not read: call it only from a thread that may wait.
bool writeFully(int fd, std::string_view bytes);

}  // namespace velmar
