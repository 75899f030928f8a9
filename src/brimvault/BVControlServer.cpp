#include "brimvault/BVControlServer.h"

#include <ctime>
#include <filesystem>

#include "BVApi/Content/Controller/BVContentController.h"
#include "BVApi/Controllers/BVManageController.h"
#include "app/Logging/BVLogging.h"
#include "app/Shell/AppDelegate.h"
#include "app/Shell/BVDiagnostics.h"
#include "app/Shell/BVFileNameRepair.h"
#include "app/Utilities.h"
#include "brimvault/BVDaemonUserInterface.h"
#include "brimvault/BVLiveAppServices.h"
#include "comms/CommSocketClient.h"
#include "platform/Preferences.h"
#include "platform/RunLoop.h"
#include "platform/TmpPaths.h"
#include "platform/XdgPaths.h"

namespace {

nlohmann::json reply(bool ok, const std::string& message = {}) {
    return {{"ok", ok}, {"message", message}};
}

std::string nowText() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local);
    return text;
}

}  // namespace

std::string BVControlServer::socketPath() {
    auto dir = bv::XdgPaths::runtimeDir();
    return dir.empty() ? std::string() : (dir / "control.sock").string();
}

BVControlServer::BVControlServer(AppDelegate& app, BVDaemonUserInterface& ui,
                                 BVLiveAppServices& services)
    : app_(app), ui_(ui), services_(services) {}

BVControlServer::~BVControlServer() {
    if (server_) {
        server_->setDelegate(nullptr);
        server_->stopServer();
    }
}

bool BVControlServer::start() {
    auto path = socketPath();
    if (path.empty())
        return false;
    // A daemon that answers holds the name; a stale socket of ours is replaced.
    auto probe = CommSocketClient::initWithSocketURL(path);
    if (probe->startClient()) {
        probe->stopClient();
        return false;
    }
    server_ = CommSocketServer::initWithSocketURL(path);
    server_->setDelegate(this);
    return server_->startServer();
}

void BVControlServer::sendToLoginClient(const nlohmann::json& event) {
    if (auto client = loginClient_.lock())
        client->messageDict(event);
}

void BVControlServer::sendToUpdateClient(const nlohmann::json& event) {
    if (auto client = updateClient_.lock())
        client->messageDict(event);
}

void BVControlServer::applicationEvent(const std::string& event, const nlohmann::json& details) {
    if (event == "updateProgress") {
        sendToUpdateClient({{"event", "progress"}, {"percent", details.value("percent", 0)}});
    } else if (event == "updateReady") {
        auto ready = details;
        ready["event"] = "ready";
        sendToUpdateClient(ready);
        updateClient_.reset();
    } else if (event == "updateFailed") {
        sendToUpdateClient({{"event", "failed"}, {"reason", details.value("reason", "")}});
        updateClient_.reset();
    }
    if (event == "mounted") {
        sendToLoginClient({{"event", "mounted"}, {"mountPoint", details.value("mountPoint", "")}});
        loginClient_.reset();
    } else if (event == "signInFailed" || event == "mountFailed") {
        sendToLoginClient({{"event", "failed"}, {"reason", details.value("reason", "")}});
        loginClient_.reset();
    }
}

void BVControlServer::interfaceEvent(const nlohmann::json& event) {
    bv::RunLoop::main().perform([this, event] {
        if (event.value("kind", "") == "choice")
            sendToUpdateClient(event);
        else
            sendToLoginClient(event);
    });
}

nlohmann::json BVControlServer::update(const nlohmann::json& request, CommSocketClient& client) {
    if (auto question = ui_.pendingPrompt("choice")) {
        updateClient_ = client.shared_from_this();
        ui_.answer(question->id, request.value("retry", false) ? 0 : 1);
        return {{"event", "started"}};
    }
    updateClient_ = client.shared_from_this();
    std::string why;
    if (!app_.update(&why)) {
        updateClient_.reset();
        return reply(false, why);
    }
    return {{"event", "started"}};
}

nlohmann::json BVControlServer::status() const {
    auto session = app_.session();
    bool signedIn = app_.userLoggedIn();
    nlohmann::json prompts = nlohmann::json::array();
    for (const auto& prompt : ui_.pendingPrompts())
        prompts.push_back({{"id", prompt.id},
                           {"kind", prompt.kind},
                           {"message", prompt.message},
                           {"buttons", prompt.buttons},
                           {"answerWith", BVDaemonUserInterface::answerCommand(prompt.kind)}});
    nlohmann::json uploads = nlohmann::json::array();
    for (const auto& record : services_.uploads().records())
        uploads.push_back(
            {{"path", record.path}, {"completed", record.completed}, {"total", record.total}});
    return {{"ok", true},
            {"signedIn", signedIn},
            {"user", signedIn && session ? session->username : ""},
            {"driveName", signedIn && session ? session->driveName : ""},
            {"mounted", app_.driveMounted()},
            {"mountPoint", app_.driveMounted() ? services_.mountPoint() : ""},
            {"uploads", uploads},
            {"keelhavenRunning", app_.keelhaven().running()},
            {"storage", app_.spaceInfo()},
            {"pendingPrompts", prompts},
            {"notifications", app_.shownNotifications()}};
}

void BVControlServer::handleSocketServerMsgDict(const nlohmann::json& request,
                                                CommSocketClient& client) {
    nlohmann::json answer;
    try {
        answer = handle(request, client);
    } catch (const std::exception& e) {
        answer = reply(false, std::string("bad request: ") + e.what());
    }
    if (!answer.is_null())
        client.messageDict(answer);
}

nlohmann::json BVControlServer::login(const nlohmann::json& request, CommSocketClient& client) {
    if (app_.userLoggedIn())
        return reply(false, "already signed in as " + app_.session()->username);
    bv::SignInAnswer answer{request.value("user", ""), request.value("password", ""),
                            request.value("savePassword", false),
                            request.value("autoLogin", false)};
    if (answer.username.empty() || answer.password.empty())
        return reply(false, "a user name and a password are needed");
    loginClient_ = client.shared_from_this();
    if (auto pending = ui_.pendingPrompt("signIn")) {
        ui_.answer(pending->id, {{"user", answer.username},
                                 {"password", answer.password},
                                 {"savePassword", answer.savePassword},
                                 {"autoLogin", answer.autoLogin}});
    } else {
        app_.loginView().fill(answer);
        app_.loginView().doLogin();
    }
    return {{"event", "started"}};
}

nlohmann::json BVControlServer::pathAction(const std::string& cmd, const nlohmann::json& request) {
    if (!app_.userLoggedIn())
        return reply(false, "not signed in (run: brimvault login)");
    std::vector<std::string> paths = request.value("paths", std::vector<std::string>{});
    const char* title = cmd == "trash" ? "Move To Trash" : cmd == "restore" ? "Restore" : "Delete";
    if (!AppDelegate::isEnabled(title, paths, ""))
        return reply(false, std::string("\"") + title + "\" is not offered for these paths");
    bool ok = cmd == "trash"     ? app_.MoveToTrash(paths)
              : cmd == "restore" ? app_.Restore(paths)
                                 : app_.Delete(paths);
    return reply(ok, ok ? "" : std::string(title) + " failed (see the log)");
}

nlohmann::json BVControlServer::sendLogs(const nlohmann::json& request, CommSocketClient& client) {
    const std::string output = request.value("output", "");
    const std::string user = app_.session() ? app_.session()->username
                                            : bv::Preferences::standard().stringForKey("bvuser");
    auto peer = client.shared_from_this();
    longWork_.addOperation([this, peer, output, user] {
        nlohmann::json answer;
        try {
            auto* logging = BVLogging::sharedInstance();
            auto result = logging
                              ? BVDiagnostics::pack(BVDiagnostics::currentSources(*logging),
                                                    bv::bvTmpPath(BVDiagnostics::kReportingFolder),
                                                    bv::bvTmpPath(BVDiagnostics::kZipFile))
                              : BVDiagnostics::Result{false, "", "logging is not set up"};
            if (!result.ok) {
                answer = reply(false, "the logs were not packed: " + result.error);
            } else {
                std::string where = result.zipPath;
                std::error_code ec;
                if (!output.empty()) {
                    std::filesystem::copy_file(result.zipPath, output,
                                               std::filesystem::copy_options::overwrite_existing,
                                               ec);
                    if (ec)
                        answer = reply(false, "the logs are packed in " + result.zipPath +
                                                  " but cannot be copied to " + output + ": " +
                                                  ec.message());
                    else
                        where = output;
                }
                if (answer.is_null()) {
                    const std::string body = BVDiagnostics::mailBody(user, nowText());
                    bool mailed = services_.spawnDesktopHelper({"xdg-email", "--subject",
                                                                BVDiagnostics::kMailSubject,
                                                                "--body", body, "--attach", where});
                    answer = {{"ok", true},
                              {"message", "the logs are packed in " + where +
                                              (mailed ? "; a new e-mail with them was opened"
                                                      : "; attach them to an e-mail to support")},
                              {"zip", where}};
                }
            }
        } catch (const std::exception& e) {
            answer = reply(false, std::string("the logs were not packed: ") + e.what());
        }
        bv::RunLoop::main().perform([peer, answer] { peer->messageDict(answer); });
    });
    return nullptr;
}

nlohmann::json BVControlServer::handle(const nlohmann::json& request, CommSocketClient& client) {
    const std::string cmd = request.value("cmd", "");
    if (cmd == "status")
        return status();
    if (cmd == "login")
        return login(request, client);
    if (cmd == "answer") {
        bool ok = ui_.answer(request.value("id", 0), request.value("value", nlohmann::json()));
        return ok ? nlohmann::json() : reply(false, "no such prompt is waiting");
    }
    if (cmd == "unlock") {
        const std::string kind =
            request.value("new", false) ? "newPassword" : "secureFolderPassword";
        auto pending = ui_.pendingPrompt(kind);
        if (!pending)
            return reply(false, "no secure folder is waiting for a password");
        auto path = request.value("path", "");
        if (!path.empty() && kind == "secureFolderPassword" &&
            pending->message.find(path) == std::string::npos)
            return reply(false, "the waiting secure folder is " + pending->message);
        auto password = request.value("password", "");
        nlohmann::json value =
            kind == "newPassword"
                ? nlohmann::json(password)
                : nlohmann::json{{"password", password},
                                 {"trustThisComputer", request.value("trust", false)}};
        ui_.answer(pending->id, value);
        return reply(true, "answered the password prompt of " + pending->message);
    }
    if (cmd == "logout") {
        if (!app_.userLoggedIn())
            return reply(false, "not signed in");
        app_.logoutCurrentUser();
        return reply(true, "signing out; the daemon restarts at the sign-in");
    }
    if (cmd == "quit") {
        client.messageDict(
            reply(true, app_.userLoggedIn() ? "unmounting and quitting" : "quitting"));
        bv::RunLoop::main().perform([this] { app_.quitApplication(); });
        return nullptr;
    }
    if (cmd == "menu") {
        nlohmann::json items = nlohmann::json::array();
        for (const auto& item : app_.statusMenu(request.value("paths", std::vector<std::string>{}),
                                                request.value("folder", ""),
                                                extensionConnected_ && extensionConnected_()))
            items.push_back({{"title", item.title}, {"enabled", item.enabled}});
        return {{"ok", true}, {"items", items}};
    }
    if (cmd == "update")
        return update(request, client);
    if (cmd == "uploads")
        return {{"ok", true}, {"uploads", status()["uploads"]}};
    if (cmd == "trash" || cmd == "restore" || cmd == "delete")
        return pathAction(cmd, request);
    if (!app_.userLoggedIn() && cmd != "uninstall")
        return reply(false, "not signed in (run: brimvault login)");
    if (cmd == "uninstall") {
        // The volume goes and the daemon stays until the uninstaller ends it.
        const bool signedIn = app_.userLoggedIn();
        app_.startUninstall();
        return {{"ok", true},
                {"signedIn", signedIn},
                {"message", signedIn ? "signing out for the uninstaller" : ""}};
    }
    if (cmd == "send-logs")
        return sendLogs(request, client);
    if (cmd == "empty-trash") {
        if (app_.session()->isAccountUser)
            return reply(false, "an access user cannot empty the trash");
        bool ok = app_.EmptyTrash();
        return reply(ok, ok ? "trash emptied" : "emptying the trash failed");
    }
    if (cmd == "props" || cmd == "share") {
        auto path = request.value("path", "");
        const char* title = cmd == "props" ? "Show Properties" : "Share";
        if (!AppDelegate::isEnabled(title, {path}, ""))
            return reply(false, std::string("\"") + title + "\" is not offered for " + path);
        bv::Error error;
        if (cmd == "share") {
            bool ok = BVManageController::sharedController()->shareFolderAt(
                path, request.value("user", ""), &error);
            return reply(ok, ok ? "shared" : "Failed to share: " + error.description());
        }
        auto item = BVContentController::sharedController()->itemInfoAt(path, true, &error);
        if (!item) {
            BVLog("ERROR: failed getting info of %@ (got %@)", path, error);
            return reply(false, "Failed to fetch properties: " + error.description());
        }
        auto properties = item->archiveObject();
        properties.erase("$class");
        return {{"ok", true}, {"properties", properties}};
    }
    if (cmd == "rename-files") {
        auto logFolder = Utilities::renamingsLog();
        if (!logFolder)
            return reply(false, "the renaming-log folder cannot be created");
        auto result = BVFileNameRepair::run(request.value("dir", ""), *logFolder);
        return reply(result.ok, result.ok ? "Files and folders renamed (" +
                                                std::to_string(result.renamed) + ")."
                                          : "renaming stopped: " + result.error);
    }
    if (cmd == "refresh") {
        services_.forgetFolderListing(request.value("path", "/"));
        app_.RefreshFolder(request.value("path", "/"));
        return reply(true);
    }
    if (cmd == "account" || cmd == "upgrade") {
        bool ok = cmd == "account" ? app_.openAccount() : app_.upgradeAccount();
        return reply(ok, ok ? "opened in the web browser" : "the service gave no link");
    }
    if (cmd == "open") {
        services_.openURL(services_.mountPoint());
        return reply(true, services_.mountPoint());
    }
    if (cmd == "sync-and-backup") {
        if (!app_.driveMounted())
            return reply(false, "the drive is not mounted");
        auto khv = CommSocketClient::initWithSocketURL(bv::bvTmpPath("/tmp/brimvault.sock"));
        bool ok = khv->startClient() && khv->messageString("open");
        khv->stopClient();
        return reply(ok, ok ? "" : "Keelhaven is not answering");
    }
    return reply(false, "unknown command \"" + cmd + "\"");
}
