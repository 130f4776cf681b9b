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

// ---- The operations: each hands over to the part that owns it ----

Installation& CVXDlownloader::installation() {
  return *state_;
}

FileFetcher& CVXDlownloader::fetcher() {
  return *fetcher_;
}

const std::string& CVXDlownloader::installDir() const {
  return state_->installDir();
}

const InstallLayout& CVXDlownloader::layout() const {
  return state_->layout();
}

const std::string& CVXDlownloader::releaseBaseUrl() const {
  return fetcher_->releaseBaseUrl();
}

void CVXDlownloader::SetReleaseBaseUrl(const std::string& url) {
  fetcher_->SetReleaseBaseUrl(url);
}

void CVXDlownloader::SetRateLimit(int64_t bytesPerSecond) {
  fetcher_->RateLimit().SetRate(bytesPerSecond);
}

void CVXDlownloader::LoadLaunchConf() {
  state_->LoadLaunchConf();
}

std::string CVXDlownloader::clientVersion() const {
  return state_->clientVersion();
}

void CVXDlownloader::SetClientVersion(const std::string& version) {
  state_->SetClientVersion(version);
}

void CVXDlownloader::SetTrustedKeys(std::vector<std::string> keys) {
  state_->SetTrustedKeys(std::move(keys));
}

bool CVXDlownloader::SignedReleases() const {
  return state_->SignedReleases();
}

UpdateStatus CVXDlownloader::FetchReleaseSignature() {
  return updateList_->FetchReleaseSignature();
}

bool CVXDlownloader::CheckReleaseFile(const std::string& relative, const std::string& localPath) {
  return state_->CheckReleaseFile(relative, localPath);
}

bool CVXDlownloader::CheckFetchedReleaseFile(const std::string& relative,
                                             const std::string& localPath,
                                             const std::string& sha256) {
  return state_->CheckFetchedReleaseFile(relative, localPath, sha256);
}

bool CVXDlownloader::OpenLocalList() {
  return state_->OpenLocalList();
}

bool CVXDlownloader::RecordFileInLocalList(const FileEntry& entry) {
  return state_->RecordFileInLocalList(entry);
}

bool CVXDlownloader::RecordFileInLocalList(const DownloadTask& task) {
  return state_->RecordFileInLocalList(task);
}

bool CVXDlownloader::RemoveLocalList(const std::string& path) {
  return state_->RemoveLocalList(path);
}

bool CVXDlownloader::ForgetLocalListEntry(const std::string& key) {
  return state_->ForgetLocalListEntry(key);
}

bool CVXDlownloader::WriteLocalClient() {
  return state_->WriteLocalClient();
}

UpdateStatus CVXDlownloader::IsFirstLogin() {
  return state_->IsFirstLogin();
}

bool CVXDlownloader::IsScopeExist() {
  return state_->IsScopeExist();
}

LocalList* CVXDlownloader::localList() const {
  return state_->localList();
}

std::string CVXDlownloader::LocalListPath() const {
  return layout().localList();
}

void CVXDlownloader::SetUpdateMode(UpdateMode mode) {
  state_->SetUpdateMode(mode);
}

UpdateMode CVXDlownloader::GetUpdateMode() const {
  return state_->GetUpdateMode();
}

UpdateStatus CVXDlownloader::GetUpdateList() {
  return updateList_->GetUpdateList();
}

UpdateStatus CVXDlownloader::CheckUpdateList() {
  return updateList_->CheckUpdateList();
}

UpdateStatus CVXDlownloader::CheckUpdateListVerify() {
  return updateList_->CheckUpdateListVerify();
}

void CVXDlownloader::GetUpdateToolMD5() {
  selfUpdate_->GetUpdateToolMD5();
}

const std::string& CVXDlownloader::serverVersion() const {
  return updateList_->serverVersion();
}

const std::string& CVXDlownloader::launcherToolMD5() const {
  return selfUpdate_->launcherToolMD5();
}

UpdateStatus CVXDlownloader::GetDifferentFiles() {
  return difference_->GetDifferentFiles();
}

UpdateStatus CVXDlownloader::GetDifferentFilesWithFiles() {
  return difference_->GetDifferentFilesWithFiles();
}

UpdateStatus CVXDlownloader::GetDiffernetFilesWithMD5List() {
  return difference_->GetDiffernetFilesWithMD5List();
}

UpdateStatus CVXDlownloader::GetFullDownload() {
  return difference_->GetFullDownload();
}

UpdateStatus CVXDlownloader::GetScopeList() {
  return difference_->GetScopeList();
}

UpdateStatus CVXDlownloader::GetDownloadSize() {
  return difference_->GetDownloadSize();
}

void CVXDlownloader::DeleteOldFile() {
  difference_->DeleteOldFile();
}

const std::vector<std::string>& CVXDlownloader::oldFiles() const {
  return difference_->oldFiles();
}

const std::vector<std::string>& CVXDlownloader::scopeList() const {
  return difference_->scopeList();
}

void CVXDlownloader::AddDownloadTask(const FileEntry& entry, uint8_t fixNameCase) {
  difference_->AddDownloadTask(entry, fixNameCase);
}

int CVXDlownloader::GetDownloadTaskCount() const {
  return static_cast<int>(difference_->downloadTasks().size());
}

const std::vector<DownloadTask>& CVXDlownloader::downloadTasks() const {
  return difference_->downloadTasks();
}

CDownloaderThreadPool* CVXDlownloader::pool() const {
  return downloadPool_.get();
}

CVXDlownloader::Progress CVXDlownloader::ReadProgress() const {
  return state_->Counters().Read();
}

int64_t CVXDlownloader::TakeBytesSinceTick() {
  return state_->Counters().TakeBytesSinceTick();
}

EngineProgress& CVXDlownloader::Counters() {
  return state_->Counters();
}

void CVXDlownloader::RequestCancel() {
  state_->RequestCancel();
}

void CVXDlownloader::ClearCancel() {
  state_->ClearCancel();
}

bool CVXDlownloader::CancelRequested() const {
  return state_->CancelRequested();
}

TransferResult CVXDlownloader::DownloadFile(std::string url, std::string localPath,
                                            ProgressHook hook, int64_t maxBytes) {
  return fetcher_->DownloadFile(std::move(url), std::move(localPath), std::move(hook), maxBytes);
}

TransferResult CVXDlownloader::DownloadFileOnce(const std::string& url,
                                                const std::string& localPath, ProgressHook hook,
                                                int64_t maxBytes) {
  return fetcher_->DownloadFileOnce(url, localPath, std::move(hook), maxBytes);
}

int64_t CVXDlownloader::GetRemoteFileSize(const std::string& url) {
  return fetcher_->GetRemoteFileSize(url);
}

int64_t CVXDlownloader::QueryRemoteFileSize(const std::string& url) {
  return fetcher_->QueryRemoteFileSize(url);
}

int CVXDlownloader::CheckNet(std::string url) {
  return fetcher_->CheckNet(std::move(url));
}

HttpClientFactory* CVXDlownloader::HttpFactory() {
  return fetcher_->HttpFactory();
}

void CVXDlownloader::SetHttpFactory(std::unique_ptr<HttpClientFactory> factory) {
  fetcher_->SetHttpFactory(std::move(factory));
}

const HttpTimeouts& CVXDlownloader::TransferTimeouts() const {
  return fetcher_->TransferTimeouts();
}

void CVXDlownloader::SetTimeouts(const HttpTimeouts& transfer, const HttpTimeouts& sizeQuery,
                                 long checkNetMs) {
  fetcher_->SetTimeouts(transfer, sizeQuery, checkNetMs);
}

bool CVXDlownloader::IsFirstInstallUnfinished() const {
  return state_->IsFirstInstallUnfinished();
}

void CVXDlownloader::MarkFirstInstallUnfinished(bool unfinished) {
  state_->MarkFirstInstallUnfinished(unfinished);
}

UpdateStatus CVXDlownloader::RunSelfUpdate(bool verify) {
  return selfUpdate_->RunSelfUpdate(verify);
}

int64_t CVXDlownloader::selfUpdateBytes() const {
  return selfUpdate_->selfUpdateBytes();
}

void CVXDlownloader::SetSelfUpdateHooks(std::function<void()> post, std::function<void(int)> exit) {
  selfUpdate_->SetSelfUpdateHooks(std::move(post), std::move(exit));
}

void CVXDlownloader::SetSkipMissingLauncher(bool skip) {
  selfUpdate_->SetSkipMissingLauncher(skip);
}
