#include "update/downloader.h"

#include "update/md5.h"

namespace {

constexpr int kWorkerCount = 4;

}  // namespace

CVXDlownloader::CVXDlownloader(std::string installDir)
    : state_(std::make_unique<Installation>(std::move(installDir))),
      fetcher_(std::make_unique<FileFetcher>(state_.get())),
      selfUpdate_(std::make_unique<SelfUpdateStep>(state_.get(), fetcher_.get())),
      updateList_(
          std::make_unique<UpdateListStep>(state_.get(), fetcher_.get(), selfUpdate_.get())),
      difference_(std::make_unique<DifferenceStep>(state_.get(), fetcher_.get())),
      patch_(std::make_unique<PatchStep>(state_.get())),
      firstDownload_(std::make_unique<FirstDownloadStep>(state_.get(), fetcher_.get())) {}

CVXDlownloader::~CVXDlownloader() = default;

std::string CVXDlownloader::GetFileMD5(const std::string& path) {
  return Md5OfFile(path);
}

void CVXDlownloader::CreateDownloadPool() {
  if (downloadPool_) return;
  fetcher_->HttpFactory();  // chosen before the workers look for it
  downloadPool_.reset(new CDownloaderThreadPool(state_.get(), fetcher_.get()));
  downloadPool_->StartWorkers(kWorkerCount);
}

UpdateStatus CVXDlownloader::DownloadDifferentFiles() {
  CreateDownloadPool();
  UpdateStatus r = patch_->DownloadDifferentFiles(pool(), difference_->downloadTasks());
  if (r == Status_Completed) difference_->FinishFirstInstallIfComplete();
  return r;
}

UpdateStatus CVXDlownloader::FirstDownload() {
  CreateDownloadPool();
  return firstDownload_->FirstDownload(pool(), GetDownloadTaskCount());
}
