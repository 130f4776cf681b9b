// Applying fetched files to the installation: the patch step queues a
// pass's download tasks on the workers and puts each file they fetch and
// verify in place, in the order they finish, recording it in the local list.
//
// Thread-safety: both run on the update thread; the workers fetch on theirs.
#pragma once

#include <vector>

#include "update/types.h"

class CDownloaderThreadPool;
class InstallState;
class Installation;

// The apply loop: puts every task the pool hands on in place and records
// it, until none is pending. *applied (when given): how many were put in
// place and recorded.
bool ApplyFetchedFiles(CDownloaderThreadPool* pool, InstallState* state, int* applied = nullptr);

class PatchStep {
 public:
  // Borrowed; it outlives the step.
  explicit PatchStep(Installation* state);

  // Queues the tasks on the pool's workers, applies what they fetch, saves
  // the local list. 17 when every task was applied, 36 when cancelled, 7
  // when a file could not be fetched, verified or put in place (it stays
  // different from the list, so the next check finds it again).
  UpdateStatus DownloadDifferentFiles(CDownloaderThreadPool* pool,
                                      const std::vector<DownloadTask>& tasks);

 private:
  Installation& state_;
};
