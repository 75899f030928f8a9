#pragma once

#include <filesystem>
#include <mutex>
#include <string>

#include "Sqlite.h"

namespace bvserver {

// The service's metadata database (accounts, sessions, folders, files, shares, secure-folder
// verifiers, statistics). One connection, one lock: every use goes through locked(), which
// keeps each operation and its transaction atomic with respect to other requests.
class MetadataStore {
  public:
    explicit MetadataStore(const std::filesystem::path& file);

    template <class F>
    auto locked(F&& fn) {
        std::lock_guard<std::mutex> lock(mutex_);
        return fn(db_);
    }

  private:
    void createSchema();
    void addColumn(const std::string& table, const std::string& column,
                   const std::string& declaration);
    void neverReuseIds(const std::string& table);
    void keepStorageTotals();

    std::mutex mutex_;  // guards db_
    Database db_;
};

// Seconds since 1970.
int64_t nowSeconds();

// A change stamp that is at least the current time and above the previous one, so every
// change is seen by a client that compares stamps.
int64_t nextStamp(int64_t previous);

}  // namespace bvserver
