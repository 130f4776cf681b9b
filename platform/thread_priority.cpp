#include "platform/thread_priority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

// On Linux a nice value belongs to each thread: PRIO_PROCESS with a
// thread id sets that thread's alone.
bool LowerThisThreadPriority(int notches) {
  const int now = ThisThreadNiceValue();
  return setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), now + notches) == 0;
}

int ThisThreadNiceValue() {
  // -1 is also a valid value: errno tells a failure from it.
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  return errno == 0 ? nice : 0;
}

}  // namespace platform
