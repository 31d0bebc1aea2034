#pragma once

namespace velmar {

// How a diagnostic line competes for room when standard error is not being
// read fast enough.
enum class LinePriority {
  // Dropped (and counted) when the ring is full: the service never waits on
  // its diagnostics.
  ordinary,
  // The lines that say why the service started or stopped, which a host
  // developer looks for first: they may use a reserve of the ring that
  // ordinary lines cannot, so a burst of ordinary lines never crowds them out.
  essential,
};

}  // namespace velmar
