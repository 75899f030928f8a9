#include "BVApi/Networking/BVNetworkSettings.h"

#include <cstdint>

#include "BVApi/Networking/BVApiRequestConfiguration.h"
#include "app/Logging/BVDebugOptions.h"
#include "platform/Preferences.h"

const BVNetworkSettings& BVNetworkSettings::current() {
    thread_local BVNetworkSettings cached;
    thread_local const bv::Preferences* cachedStore = nullptr;
    thread_local uint64_t cachedGeneration = 0;
    auto& store = bv::Preferences::standard();
    // Read before the values: a change made while they are read moves it again, so the
    // next call reads once more rather than keeping stale values.
    const uint64_t generation = store.generation();
    if (&store != cachedStore || generation != cachedGeneration) {
        cached.apiBaseURL = store.stringForKey(BVApiRequestConfiguration::kApiBaseURLPreference);
        cached.caFile = store.stringForKey(BVApiRequestConfiguration::kCAFilePreference);
        cached.logCallStacks = BVDebugOptions::checkDebugParam("al_callstack");
        cached.logNormalAnswers = BVDebugOptions::checkDebugParam("al_enabled");
        cachedStore = &store;
        cachedGeneration = generation;
    }
    return cached;
}
