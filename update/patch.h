// Applying fetched files to the installation. The apply loop is
// CDownloaderThreadPool::ProcessDownloadPatchTask and the download step
// CVXDlownloader::DownloadDifferentFiles, both defined in patch.cpp.
//
// Thread-safety: see the functions.
#pragma once

#include <cstdint>

// Kernel id of the calling thread, for the engine's log lines.
int CurrentThreadId();
