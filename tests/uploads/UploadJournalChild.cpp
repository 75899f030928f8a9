// A program that uploads one staged file and is killed by its test once the close has
// stopped waiting: it stands for a daemon that dies before the service has the file.
// Arguments: base URL, CA file, user, password, cache folder, tmp root, private base,
// size of the file.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "BVApi/Cache/BVCacheController.h"
#include "BVApi/Cache/BVTmpController.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Controllers/BVManageController.h"
#include "BVApi/Controllers/BVTmpUploadController.h"
#include "BVApi/Controllers/BVUploadControllerDelegate.h"
#include "BVApi/Controllers/BVUploadJournal.h"
#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiClientAuthContext.h"
#include "PatternBytes.h"

namespace {

class Announcer : public BVUploadControllerDelegate {
  public:
    void uploadDidStarted(BVUploadController*) override {}
    void uploadDidFinished(BVUploadController*) override { say("finished"); }
    void uploadDidReleased(BVUploadController*) override { say("released"); }
    void uploadDidFailedWithError(BVUploadController*, const bv::Error&) override { say("failed"); }
    void uploadDidMadeProgress(BVUploadController*, uint64_t, uint64_t) override {}

  private:
    static void say(const char* what) {
        std::printf("%s\n", what);
        std::fflush(stdout);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 9) {
        std::fprintf(stderr, "usage: %s url ca user password cache tmp base size\n", argv[0]);
        return 2;
    }
    BVApiClient client;
    BVApiRequestConfiguration configuration;
    configuration.setRequestHost(argv[1]);
    configuration.setCaFile(argv[2]);
    configuration.numberOfRetries = 0;
    client.setConfiguration(configuration);
    bv::Error error;
    auto session = client.authenticateUserSessionWithUsername(argv[3], argv[4], &error);
    if (!session) {
        std::fprintf(stderr, "sign-in: %s\n", error.description().c_str());
        return 1;
    }
    auto cache = BVCacheController::cacheControllerAt(argv[5]);
    cache->storeItem(session);
    auto tmp = std::make_shared<BVTmpController>(argv[6], argv[7]);
    BVContentController::Options contentOptions;
    contentOptions.client = &client;
    contentOptions.cache = cache;
    BVContentController content(contentOptions);
    BVManageController::Options manageOptions;
    manageOptions.client = &client;
    manageOptions.content = &content;
    manageOptions.cache = cache;
    manageOptions.tmp = tmp;
    manageOptions.requestConfiguration = configuration;
    BVManageController manage(manageOptions);
    Announcer announcer;
    BVUploadController::Options options;
    options.manage = &manage;
    options.client = &client;
    options.content = &content;
    options.cache = cache;
    options.tmp = tmp;
    options.freeDiskSpace = [] { return uint64_t{100} << 30; };
    options.journal = std::make_shared<BVUploadJournal>(argv[5]);
    options.chunkSize = 64 * 1024;
    BVTmpUploadController writer("/child.bin", &announcer, options);
    if (!writer.createFileError(&error)) {
        std::fprintf(stderr, "create: %s\n", error.description().c_str());
        return 1;
    }
    const bv::Data bytes = bvtest::patternBytes(std::strtoull(argv[8], nullptr, 10), 42);
    writer.writeFile(bytes.bytes(), bytes.size(), 0, &error);
    writer.closeFileError(&error);
    return 0;
}
