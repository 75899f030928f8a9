#include "app/Shell/BVShellScheduler.h"

#include "platform/RunLoop.h"

BVRunLoopScheduler::BVRunLoopScheduler() : clock_(bv::Clock::system()) {}

void BVRunLoopScheduler::onMain(Task task) {
    bv::RunLoop::main().perform(std::move(task));
}

void BVRunLoopScheduler::after(double seconds, Task task) {
    bv::RunLoop::main().addTimer(seconds, false, std::move(task));
}

void BVRunLoopScheduler::inBackground(Task task) {
    background_.addOperation(std::move(task));
}
