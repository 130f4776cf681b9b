#include "update/downloader.h"

#include "update/local_list.h"

CVXDlownloader::CVXDlownloader(std::string installDir)
    : installDir_(std::move(installDir)), localList_(std::make_unique<LocalList>()) {}

CVXDlownloader::~CVXDlownloader() = default;
