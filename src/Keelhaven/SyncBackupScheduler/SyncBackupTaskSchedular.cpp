#include "Keelhaven/SyncBackupScheduler/SyncBackupTaskSchedular.h"

#include <time.h>

#include <cmath>

#include "app/Logging/BVLogging.h"
#include "platform/RunLoop.h"

using json = nlohmann::json;

namespace {

constexpr const char* kWeekdays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};

bool switchedOn(const json& daily, const char* day) {
    if (!daily.contains(day))
        return false;
    const json& value = daily[day];
    if (value.is_boolean())
        return value.get<bool>();
    if (value.is_number())
        return value.get<double>() != 0;
    return false;
}

int64_t startsAt(const json& daily) {
    if (!daily.contains("StartsAt") || !daily["StartsAt"].is_number())
        return 0;
    double seconds = daily["StartsAt"].get<double>();
    // A damaged record must not overflow the arithmetic below.
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 7 * 86400.0)
        return 0;
    return static_cast<int64_t>(seconds);
}

}  // namespace

SyncBackupTaskSchedular::Timers SyncBackupTaskSchedular::Timers::mainRunLoop() {
    Timers timers;
    timers.arm = [](double seconds, std::function<void()> fire) {
        return bv::RunLoop::main().addTimer(seconds, false, std::move(fire));
    };
    timers.cancel = [](Id id) { bv::RunLoop::main().cancelTimer(id); };
    return timers;
}

SyncBackupTaskSchedular::SyncBackupTaskSchedular(json scheduleDictionary,
                                                 std::shared_ptr<SyncBackupTaskExecutor> executor,
                                                 std::shared_ptr<bv::Clock> clock, Timers timers)
    : scheduleDictionary_(scheduleDictionary.is_object() ? std::move(scheduleDictionary)
                                                         : json::object()),
      executor_(executor),
      clock_(std::move(clock)),
      timers_(std::move(timers)) {}

SyncBackupTaskSchedular::~SyncBackupTaskSchedular() {
    invalidateTimer();
}

int SyncBackupTaskSchedular::getSchedulerType() const {
    auto it = scheduleDictionary_.find("SchedularType");
    if (it == scheduleDictionary_.end() || !it->is_string())
        return kUnknown;
    const std::string& type = it->get_ref<const std::string&>();
    if (type == "Permanently")
        return kPermanently;
    if (type == "Daily")
        return kDaily;
    if (type == "Manual Start")
        return kManual;
    if (type == "Hourly")
        return kHourly;
    return kUnknown;
}

void SyncBackupTaskSchedular::scheduleNextRunTime() {
    switch (getSchedulerType()) {
        case kPermanently:
            schedulePermanentRun();
            break;
        case kDaily:
            scheduleDailyRun();
            break;
        case kManual:
            scheduleManualRun();
            break;
        case kHourly:
            scheduleHourlyRun();
            break;
        default:
            BVLog("Scheduler type is unknown but will run as permanent");
            schedulePermanentRun();
            break;
    }
}

void SyncBackupTaskSchedular::taskFinished(int64_t) {
    scheduleNextRunTime();
}

void SyncBackupTaskSchedular::schedulePermanentRun() {
    double now = clock_->now();
    arm(kPermanentInterval, static_cast<int64_t>(now + kPermanentInterval));
}

void SyncBackupTaskSchedular::scheduleHourlyRun() {
    double now = clock_->now();
    arm(kHourlyInterval, static_cast<int64_t>(now + kHourlyInterval));
}

void SyncBackupTaskSchedular::scheduleManualRun() {}

void SyncBackupTaskSchedular::scheduleDailyRun() {
    json daily = scheduleDictionary_.contains("Daily") ? scheduleDictionary_["Daily"] : json();
    double now = clock_->now();
    auto candidate = nextDailyRun(daily, now);
    if (!candidate) {
        BVLog("Daily schedule has no day switched on; no run is armed.");
        return;
    }
    arm(static_cast<double>(*candidate) - now, *candidate);
}

std::optional<int64_t> SyncBackupTaskSchedular::nextDailyRun(const json& daily, double now) {
    if (!daily.is_object())
        return std::nullopt;
    auto whole = static_cast<time_t>(std::floor(now));
    struct tm local {};
    if (!localtime_r(&whole, &local))
        return std::nullopt;
    int64_t weekStart = static_cast<int64_t>(whole) - static_cast<int64_t>(local.tm_wday) * kDay -
                        (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
    int64_t start = startsAt(daily);
    // Two weeks hold every weekday at least once after now, so the walk always ends.
    for (int k = 0; k < 14; ++k) {
        if (!switchedOn(daily, kWeekdays[k % 7]))
            continue;
        int64_t candidate = weekStart + k * kDay + start;
        if (static_cast<double>(candidate) > now)
            return candidate;
    }
    return std::nullopt;
}

void SyncBackupTaskSchedular::arm(double seconds, int64_t nextRunTime) {
    invalidateTimer();
    std::weak_ptr<SyncBackupTaskExecutor> executor = executor_;
    auto id = timers_.arm(seconds, [executor] {
        if (auto target = executor.lock())
            target->run();
    });
    std::lock_guard lock(timerLock_);
    timer_ = id;
    nextRunTime_ = nextRunTime;
}

int64_t SyncBackupTaskSchedular::getNextRunTime() const {
    std::lock_guard lock(timerLock_);
    return nextRunTime_;
}

bool SyncBackupTaskSchedular::taskRunTimer() const {
    std::lock_guard lock(timerLock_);
    return timer_.has_value();
}

void SyncBackupTaskSchedular::invalidateTimer() {
    std::optional<Timers::Id> id;
    {
        std::lock_guard lock(timerLock_);
        id.swap(timer_);
        nextRunTime_ = 0;
    }
    if (id && timers_.cancel)
        timers_.cancel(*id);
}
