#include "BVApi/Controllers/BVSharedControllers.h"

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Cache/BVTmpController.h"
#include "BVApi/Controllers/BVBackgroundFolderUpdateController.h"
#include "BVApi/Controllers/BVExtendedAttributesController.h"
#include "BVApi/Networking/BVNetworkThread.h"

void BVSharedControllers::shutdown() {
    if (auto* refresher = BVBackgroundFolderUpdateController::existingSharedController())
        refresher->stop();
    BVNetworkThread::shared().shutdown();
    if (auto cache = BVCacheController::sharedController())
        cache->shutdown();
    BVCacheController::resetSharedController();
    BVTmpController::resetSharedController();
    BVExtendedAttributesController::resetSharedController();
}
