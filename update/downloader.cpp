#include "update/downloader.h"

#include "update/local_list.h"

CVXDlownloader::CVXDlownloader(std::string installDir)
    : localList_(std::make_unique<LocalList>()), installDir_(std::move(installDir)) {}

CVXDlownloader::~CVXDlownloader() = default;
