// Scheduling priority of our own threads. The update's workers run a few
// notches below the program's other threads: the shared digest helper that
// every worker waits for, and the window's thread, which must stay quick
// while the workers fill every core.
//
// Thread-safety: acts on the calling thread only.
#pragma once

namespace platform {

// Lowers the calling thread's priority by `notches` steps of the nice
// scale (1 to 19). An unprivileged thread cannot take it back. False when
// the system refused; the thread then runs as before.
bool LowerThisThreadPriority(int notches);

// The calling thread's nice value (0 for a thread as started, higher for
// one that yields more).
int ThisThreadNiceValue();

}  // namespace platform
