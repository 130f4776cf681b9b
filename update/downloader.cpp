#include "update/downloader.h"

#include "update/local_list.h"
#include "update/release_trust.h"
#include "update/release_url.h"

CVXDlownloader::CVXDlownloader(std::string installDir)
    : installDir_(std::move(installDir)),
      releaseBaseUrl_(DefaultReleaseBaseUrl()),
      trust_(std::make_unique<ReleaseTrust>(installDir_, BuiltInReleaseKeys())),
      localList_(std::make_unique<LocalList>()) {}

CVXDlownloader::~CVXDlownloader() = default;

void CVXDlownloader::SetReleaseBaseUrl(const std::string& url) {
  releaseBaseUrl_ = WithTrailingSlash(url);
}
