#pragma once

#include <memory>
#include <optional>
#include <string>

#include "BVApi/Cache/BVTmpController.h"
#include "BVApi/Controllers/BVBackgroundFolderUpdateController.h"
#include "BVApi/Controllers/BVManageController.h"
#include "BVApi/Controllers/BVUploadController.h"
#include "BVApi/Controllers/BVUploadJournal.h"
#include "ContentFixture.h"
#include "PatternBytes.h"

namespace bvtest {

// Real time plus whatever was slept on it: retry delays pass at once, while the dates the
// service gives to files stay in step with the cache's validity checks.
class FollowingClock : public bv::ManualClock {
  public:
    FollowingClock() : ManualClock(0) {}
    double now() const override { return bv::Clock::system()->now() + slept(); }
    double monotonic() const override { return now(); }
    // Seconds slept on this clock so far.
    double slept() const { return ManualClock::now(); }
};

// The content fixture with the write side: a temporary store, a refresher for the folder
// locks, the manage controller on the reference service, and an upload journal in the cache.
class UploadFixture : public ContentFixture {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Options for an upload controller on these collaborators.
    BVUploadController::Options uploadOptions();
    // The file's bytes as the service holds them.
    std::optional<bv::Data> serviceBytes(const std::string& path);

    std::shared_ptr<FollowingClock> following_;
    std::shared_ptr<BVTmpController> tmp_;
    std::unique_ptr<BVBackgroundFolderUpdateController> refresher_;
    std::unique_ptr<BVManageController> manage_;
    std::shared_ptr<BVUploadJournal> journal_;
};

}  // namespace bvtest
