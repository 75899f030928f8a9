#include "UploadFixture.h"

#include <vector>

#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Content/BVVolumePath.h"

namespace bvtest {

void UploadFixture::SetUp() {
    ContentFixture::SetUp();
    // Signed in again on a clock that follows real time.
    following_ = std::make_shared<FollowingClock>();
    clock_ = following_;
    signIn(newUser(), "pw");
    tmp_ = std::make_shared<BVTmpController>((dir_.path() / "tmp" / "temp").string(),
                                             dir_.path().string());
    refresher_ = std::make_unique<BVBackgroundFolderUpdateController>(
        BVBackgroundFolderUpdateController::Options{
            .clock = clock_,
            .content = content_.get(),
            .cache = cache_,
            .tmp = tmp_,
            .debugParam = [](const std::string&) { return true; },
            .currentUserSession = [] { return std::make_shared<BVUserSessionItem>(); },
            .folderChanged = [](const std::string&) {},
            .presentError = [](const bv::Error&, const std::string&) {},
            .startRevisitThread = false,
        });
    BVApiRequestConfiguration configuration;
    configuration.setRequestHost(server_->baseUrl());
    configuration.setCaFile(server_->caFile().string());
    configuration.numberOfRetries = 0;
    manage_ = std::make_unique<BVManageController>(BVManageController::Options{
        .client = client_.get(),
        .content = content_.get(),
        .cache = cache_,
        .tmp = tmp_,
        .refresher = refresher_.get(),
        .clock = clock_,
        .requestConfiguration = configuration,
    });
    journal_ = std::make_shared<BVUploadJournal>(cache_->rootPath());
}

void UploadFixture::TearDown() {
    server_->clearFaults();
    BVUploadController::resetSmallChunks();
    manage_.reset();
    refresher_.reset();
    ContentFixture::TearDown();
}

BVUploadController::Options UploadFixture::uploadOptions() {
    return BVUploadController::Options{
        .manage = manage_.get(),
        .client = client_.get(),
        .content = content_.get(),
        .cache = cache_,
        .tmp = tmp_,
        .refresher = refresher_.get(),
        .clock = clock_,
        .ui = ui_,
        .freeDiskSpace = [] { return uint64_t{100} << 30; },
        .uploadSpeedLimit = 0,
        .journal = journal_,
        .chunkSize = 0,
    };
}

std::optional<bv::Data> UploadFixture::serviceBytes(const std::string& path) {
    content_->listFolderAt(BVVolumePath::parent(path), true, nullptr);
    auto id = content_->identifierForFileAt(path);
    if (!id)
        return std::nullopt;
    bv::Error error;
    return client_->downloadData(*id, service(), &error);
}

}  // namespace bvtest
