#include "comms/BVExtensionCommsClient.h"

#include <cstdio>
#include <cstdlib>
#include <random>

#include "app/Logging/BVLogging.h"

using namespace BVExtensionActions;

namespace {

BVExtensionCommsClient::Options withDefaults(BVExtensionCommsClient::Options options) {
    if (!options.clock)
        options.clock = bv::Clock::system();
    if (!options.exitProcess)
        options.exitProcess = [](int status) { std::exit(status); };
    if (options.portName.empty())
        options.portName =
            BVExtensionCommsClient::kPortPrefix + BVExtensionCommsClient::uniqueString();
    return options;
}

}  // namespace

std::string BVExtensionCommsClient::uniqueString() {
    std::random_device random;
    uint32_t words[4];
    for (auto& w : words)
        w = random();
    char text[37];
    std::snprintf(text, sizeof(text), "%08X-%04X-%04X-%04X-%04X%08X", words[0], words[1] >> 16,
                  (words[1] & 0x0FFF) | 0x4000, ((words[2] >> 16) & 0x3FFF) | 0x8000,
                  words[2] & 0xFFFF, words[3]);
    return text;
}

BVExtensionCommsClient::BVExtensionCommsClient() : BVExtensionCommsClient(Options{}) {}

BVExtensionCommsClient::BVExtensionCommsClient(Options options)
    : BVExtensionCommsClient(withDefaults(std::move(options)), Filled{}) {}

BVExtensionCommsClient::BVExtensionCommsClient(Options options, Filled)
    : BVExtensionCommsComponent(options.portName), options_(std::move(options)) {
    if (!isRegistered()) {
        BVLog("client port %@ could not be registered", portName());
        options_.exitProcess(1);
        return;
    }
    if (!waitForServerPortFor(kServerWaitSeconds)) {
        BVLog("client %@ found no server port %@", portName(), options_.serverPortName);
        options_.exitProcess(1);
        return;
    }
    serverPort_ = options_.serverPortName;
    BVLog("client %@ connected to server port %@", portName(), serverPort_);
    alive();
}

bool BVExtensionCommsClient::waitForServerPortFor(double seconds) {
    const double deadline = options_.clock->monotonic() + seconds;
    while (!BVExtensionPort::exists(options_.serverPortName)) {
        if (options_.clock->monotonic() >= deadline)
            return false;
        options_.clock->sleepFor(1);
    }
    return true;
}

void BVExtensionCommsClient::send(const char* action, std::vector<bv::Data> data) {
    if (isConnected())
        sendAction(action, data, serverPort_);
}

void BVExtensionCommsClient::alive() {
    send(kAlive);
}
void BVExtensionCommsClient::share(const std::string& path) {
    send(kShare, {archive(path)});
}
void BVExtensionCommsClient::showProps(const std::string& path) {
    send(kShowProperties, {archive(path)});
}
void BVExtensionCommsClient::refreshFolder(const std::string& path) {
    send(kRefreshFolder, {archive(path)});
}
void BVExtensionCommsClient::moveToTrash(const std::vector<std::string>& paths) {
    send(kMoveToTrash, {archive(paths)});
}
void BVExtensionCommsClient::deleteItems(const std::vector<std::string>& paths) {
    send(kTrashDelete, {archive(paths)});
}
void BVExtensionCommsClient::restore(const std::vector<std::string>& paths) {
    send(kTrashRestore, {archive(paths)});
}
void BVExtensionCommsClient::emptyTrash() {
    send(kEmptyTrash);
}
void BVExtensionCommsClient::requestUserInfo() {
    send(kRequestUserInfo);
}
void BVExtensionCommsClient::beginObserving(const std::string& path) {
    send(kObserveBegin, {archive(path)});
}
void BVExtensionCommsClient::endObserving(const std::string& path) {
    send(kObserveEnd, {archive(path)});
}
