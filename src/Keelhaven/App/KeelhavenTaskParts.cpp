#include "Keelhaven/App/KeelhavenTaskParts.h"

#include "Keelhaven/SyncBackTaskExecutor/SyncBackTaskExecutor.h"
#include "Keelhaven/SyncBackupScheduler/SyncBackupLogger.h"
#include "Keelhaven/SyncBackupScheduler/SyncBackupTaskSchedular.h"
#include "Keelhaven/SyncEngine/SyncEngine.h"

KeelhavenTaskParts::KeelhavenTaskParts(SyncRunEnvironment environment,
                                       std::shared_ptr<bv::Clock> clock)
    : environment_(std::move(environment)), clock_(std::move(clock)) {
    guard_->install(environment_);
}

std::shared_ptr<SyncBackupTaskExecutor> KeelhavenTaskParts::makeExecutor(SyncBackupTask& task) {
    return std::make_shared<SyncBackTaskExecutor>(task, environment_);
}

std::unique_ptr<SyncBackupTaskScheduler> KeelhavenTaskParts::makeScheduler(
    const nlohmann::json& scheduleDictionary, std::shared_ptr<SyncBackupTaskExecutor> executor) {
    return std::make_unique<SyncBackupTaskSchedular>(scheduleDictionary, std::move(executor),
                                                     clock_);
}

std::shared_ptr<SyncBackupTaskLog> KeelhavenTaskParts::makeLogger(const std::string& path) {
    auto logger = std::make_shared<SyncBackupLogger>(path, clock_);
    if (!logger->isOpen())
        return nullptr;
    return logger;
}

std::unique_ptr<SyncBackupEngine> KeelhavenTaskParts::makeEngine(SyncBackupTask& task) {
    return makeSyncEngine(task, environment_);
}
