#pragma once

#include <string>

#include "Services.h"

namespace bvserver {

struct DemoCredentials {
    std::string username;
    std::string password;
};

// The demo account: its password is generated on the first start and kept (owner-only) in
// the data folder; a small tree of sample files is made once.
class DemoAccount {
  public:
    static DemoCredentials ensure(Services& services);

  private:
    static DemoCredentials loadOrCreateCredentials(const std::filesystem::path& file);
    static void addSampleTree(Services& services, int64_t userId);
    static void storeFile(Services& services, const Access& access, const std::string& folderId,
                          const std::string& name, const std::string& bytes);
};

}  // namespace bvserver
