#include "Keelhaven/SyncBackupTask/SyncBackupTaskContext.h"

#include "platform/RunLoop.h"

std::shared_ptr<SyncBackupTaskContext> SyncBackupTaskContext::make() {
    auto context = std::make_shared<SyncBackupTaskContext>();
    context->performOnMainAndWait = [](Task task) {
        bv::RunLoop::main().performAndWait(std::move(task));
    };
    context->performAfterDelay = [](double seconds, Task task) {
        bv::RunLoop::main().addTimer(seconds, false, std::move(task));
    };
    context->performOnMain = [](Task task) { bv::RunLoop::main().perform(std::move(task)); };
    return context;
}
