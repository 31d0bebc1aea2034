#pragma once

namespace velmar {

// The one-shot permission check ("--check-system-audio"): 0 when system-audio
// capture is allowed, or becomes allowed when asked; 1 when it is refused.
// Writes log lines only, no frames. Waits as long as the answer takes.
int runSystemAudioCheck();

}  // namespace velmar
