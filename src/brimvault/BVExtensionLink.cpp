#include "brimvault/BVExtensionLink.h"

#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Controllers/BVBackgroundFolderUpdateController.h"
#include "app/Logging/BVLogging.h"
#include "app/Shell/AppDelegate.h"
#include "app/Utilities.h"
#include "platform/RunLoop.h"
#include "platform/UserInterface.h"

namespace {

using Args = std::vector<BVExtensionActions::Value>;

std::vector<std::string> pathsOf(const Args& args) {
    if (args.empty())
        return {};
    if (auto* many = std::get_if<std::vector<std::string>>(&args[0]))
        return *many;
    return {};
}

std::string pathOf(const Args& args) {
    if (args.empty())
        return {};
    if (auto* one = std::get_if<std::string>(&args[0]))
        return *one;
    return {};
}

}  // namespace

BVExtensionLink::BVExtensionLink(AppDelegate& app, std::shared_ptr<bv::UserInterface> ui)
    : app_(app), ui_(std::move(ui)) {}

BVExtensionLink::~BVExtensionLink() {
    properties_.cancelAllOperations();
    properties_.waitUntilAllOperationsAreFinished();
    portInvalidated_.reset();
    server_.reset();
}

void BVExtensionLink::start() {
    if (server_)
        return;
    server_ = std::make_unique<BVExtensionCommsServer>();
    if (!server_->isRegistered()) {
        BVLog("The extension server could not take its port; the file manager's menu is off");
        server_.reset();
        return;
    }
    using namespace BVExtensionActions;
    auto data = [](auto handler) { return BVExtensionCommsComponent::DataHandler(handler); };
    server_->setTarget(data([this](const Args& a) { showProperties(pathOf(a)); }), kShowProperties);
    server_->setTarget(data([this](const Args& a) {
                           ui_->show(bv::WindowKind::Sharing, {{"path", pathOf(a)}});
                       }),
                       kShare);
    server_->setTarget(data([this](const Args& a) { app_.MoveToTrash(pathsOf(a)); }), kMoveToTrash);
    server_->setTarget(data([this](const Args& a) { app_.Restore(pathsOf(a)); }), kTrashRestore);
    server_->setTarget(data([this](const Args& a) { app_.Delete(pathsOf(a)); }), kTrashDelete);
    server_->setTarget(data([this](const Args&) { app_.EmptyTrash(); }), kEmptyTrash);
    server_->setTarget(data([this](const Args& a) { app_.RefreshFolder(pathOf(a)); }),
                       kRefreshFolder);
    server_->setTarget(data([this](const Args&) { app_.backgroundStorageQuery(); }),
                       kRequestUserInfo);
    using Observing = BVExtensionCommsComponent::ObservingHandler;
    server_->setTarget(
        Observing([](const std::string& path, const std::string& port) {
            if (auto* refresher = BVBackgroundFolderUpdateController::sharedController())
                refresher->beginObserving(path, port);
        }),
        kObserveBegin);
    server_->setTarget(
        Observing([](const std::string& path, const std::string& port) {
            if (auto* refresher = BVBackgroundFolderUpdateController::sharedController())
                refresher->endObserving(path, port);
        }),
        kObserveEnd);
    portInvalidated_ = server_->notificationCenter().addObserver(
        BVExtensionCommsServer::kPortInvalidated,
        [](const std::string&, const nlohmann::json& port) {
            if (auto* refresher = BVBackgroundFolderUpdateController::sharedController();
                refresher && port.is_string())
                refresher->clientPortInvalidated(port.get<std::string>());
        });
}

void BVExtensionLink::setDriveRoot(const std::string& mountPoint) {
    if (server_)
        server_->setDriveRootPath(mountPoint);
}

bool BVExtensionLink::connected() {
    return server_ && server_->hasClients();
}

void BVExtensionLink::shutdownClients() {
    if (server_)
        server_->broadcastShutdown();
}

void BVExtensionLink::showProperties(const std::string& path) {
    if (!AppDelegate::isEnabled("Show Properties", {path}, ""))
        return;
    properties_.addOperation([this, path] {
        bv::Error error;
        auto* content = BVContentController::sharedController();
        auto item = content ? content->itemInfoAt(path, true, &error) : nullptr;
        if (!item) {
            BVLog("ERROR: failed getting info of %@ (got %@)", path, error);
            Utilities::presentError(error, "Failed to fetch properties");
            return;
        }
        auto properties = item->archiveObject();
        properties.erase("$class");
        properties["path"] = path;
        ui_->show(bv::WindowKind::Properties, properties);
    });
}
