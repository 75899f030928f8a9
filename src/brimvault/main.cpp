// brimvault: the drive application (`brimvault daemon`) and the commands that talk to it.
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <CLI/CLI.hpp>

#include "app/Shell/BVKeelhavenSupervisor.h"
#include "app/Utilities.h"
#include "brimvault/BVControlClient.h"
#include "brimvault/BVControlServer.h"
#include "brimvault/BVDaemon.h"
#include "brimvault/BVUpdateCommand.h"
#include "platform/RunLoop.h"
#include "tools/TerminalText.h"

namespace {

std::string selfPath() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "brimvault";
}

// A line from the terminal (stdin), without echo when secret and stdin is a terminal.
std::string askLine(const std::string& question, bool secret) {
    std::cerr << question << std::flush;
    termios saved{};
    bool tty = ::isatty(0) && ::tcgetattr(0, &saved) == 0;
    if (secret && tty) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(0, TCSANOW, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (secret && tty) {
        ::tcsetattr(0, TCSANOW, &saved);
        std::cerr << std::endl;
    }
    return line;
}

int fail(const std::string& reason) {
    std::cerr << "brimvault: " << reason << std::endl;
    return 1;
}

bool connectOrExplain(BVControlClient& client) {
    if (client.connect(BVControlServer::socketPath()))
        return true;
    std::cerr << "brimvault: the daemon is not running (start it with: brimvault daemon)"
              << std::endl;
    return false;
}

// Sends one request and prints its reply's message; the exit status follows "ok".
int request(const nlohmann::json& req,
            const std::function<void(const nlohmann::json&)>& print = {}) {
    BVControlClient client;
    if (!connectOrExplain(client))
        return 1;
    if (!client.send(req))
        return fail("the daemon did not take the request");
    auto answer = client.next(120);
    if (!answer)
        return fail("the daemon did not answer");
    bool ok = answer->value("ok", false);
    if (ok && print)
        print(*answer);
    auto message = answer->value("message", "");
    if (!message.empty())
        (ok ? std::cout : std::cerr) << (ok ? "" : "brimvault: ") << message << std::endl;
    return ok ? 0 : 1;
}

void printStatus(const nlohmann::json& s) {
    std::cout << "signed in:   "
              << (s["signedIn"].get<bool>() ? s["user"].get<std::string>() : "no") << "\n";
    if (s["signedIn"].get<bool>())
        std::cout << "drive:       " << s["driveName"].get<std::string>() << "\n";
    std::cout << "mounted:     "
              << (s["mounted"].get<bool>() ? "yes, at " + s["mountPoint"].get<std::string>() : "no")
              << "\n";
    std::cout << "uploads:     " << s["uploads"].size() << " in progress\n";
    std::cout << "keelhaven:   " << (s.value("keelhavenRunning", false) ? "running" : "not running")
              << "\n";
    if (!s.value("storage", "").empty())
        std::cout << "storage:     " << s["storage"].get<std::string>() << "\n";
    for (const auto& n : s.value("notifications", nlohmann::json::array())) {
        const std::string url = n.value("url", "");
        std::cout << (n.value("update", false) ? "update:      " : "notice:      ")
                  << terminalSafe(n.value("text", ""))
                  << (url.empty() ? "" : " (" + terminalSafe(url) + ")") << "\n";
    }
    for (const auto& p : s["pendingPrompts"])
        std::cout << "waiting:     " << p["kind"].get<std::string>()
                  << " (answer with: " << p["answerWith"].get<std::string>() << ")\n";
}

struct LoginArgs {
    std::string user, passwordFile;
    bool savePassword = false, autoLogin = false;
};

int login(const LoginArgs& args) {
    BVControlClient client;
    if (!connectOrExplain(client))
        return 1;
    std::string user = args.user.empty() ? askLine("User name: ", false) : args.user;
    std::string password;
    if (!args.passwordFile.empty()) {
        std::ifstream in(args.passwordFile);
        if (!in)
            return fail("cannot read the password file " + args.passwordFile);
        std::getline(in, password);
    } else {
        password = askLine("Password: ", true);
    }
    client.send({{"cmd", "login"},
                 {"user", user},
                 {"password", password},
                 {"savePassword", args.savePassword || args.autoLogin},
                 {"autoLogin", args.autoLogin}});
    std::cerr << "signing in as " << user << "..." << std::endl;
    for (;;) {
        auto message = client.next(600);
        if (!message)
            return fail("the daemon went away during the sign-in");
        if (message->contains("ok") && !message->value("ok", false))
            return fail(message->value("message", "the sign-in was refused"));
        const std::string event = message->value("event", "");
        if (event == "prompt" && message->value("kind", "") == "twoFactor") {
            auto code = askLine("Two-factor code (7 digits, or \"sms\"): ", false);
            client.send({{"cmd", "answer"},
                         {"id", message->value("id", 0)},
                         {"value", code.empty() ? nlohmann::json() : nlohmann::json(code)}});
        } else if (event == "alert") {
            std::cerr << message->value("message", "") << std::endl;
        } else if (event == "mounted") {
            std::cout << "signed in; the drive is mounted at " << message->value("mountPoint", "")
                      << std::endl;
            return 0;
        } else if (event == "failed") {
            return fail("sign-in failed: " + message->value("reason", ""));
        }
    }
}

// The hand-off to the uninstaller beside this program: the daemon, when it runs, signs out
// and lets the volume go first; bvuninstaller then ends it and removes the suite.
int uninstall(bool yes, bool keepData) {
    const std::string binary =
        (std::filesystem::path(selfPath()).parent_path() / "bvuninstaller").string();
    if (!BVKeelhavenSupervisor::isSafeToRun(binary))
        return fail(binary + " is missing or others may change it; it is not run");
    if (!yes) {
        auto answer = askLine(std::string("This removes Brimvault and Keelhaven") +
                                  (keepData ? "" : " and your data") + ". Continue? [y/N] ",
                              false);
        if (answer != "y" && answer != "Y" && answer != "yes")
            return fail("cancelled; nothing was removed");
    }
    BVControlClient client;
    if (client.connect(BVControlServer::socketPath()) && client.send({{"cmd", "uninstall"}})) {
        auto answer = client.next(30);
        if (answer && answer->value("signedIn", false)) {
            std::cerr << "signing out..." << std::endl;
            for (int i = 0; i < 600; ++i) {
                BVControlClient poll;
                if (!poll.connect(BVControlServer::socketPath()) || !poll.send({{"cmd", "status"}}))
                    break;
                auto status = poll.next(5);
                if (!status || !status->value("mounted", false))
                    break;
                ::usleep(100000);
            }
        }
    }
    std::vector<const char*> argv{binary.c_str(), "--yes"};
    if (keepData)
        argv.push_back("--keep-data");
    argv.push_back(nullptr);
    ::execv(binary.c_str(), const_cast<char* const*>(argv.data()));
    return fail(binary + " cannot be run: " + std::strerror(errno));
}

}  // namespace

int main(int argc, char** argv) {
    bv::RunLoop::makeCurrentThreadMain();
    CLI::App app{"Brimvault drive: the daemon and its commands"};
    app.require_subcommand(1);

    BVDaemonOptions daemonOptions;
    auto* daemon = app.add_subcommand("daemon", "Run the drive application (in the background)");
    daemon->add_flag("--foreground", daemonOptions.foreground, "Stay in the foreground");
    daemon->add_option("--mount-dir", daemonOptions.mountDirectory,
                       "Folder that holds the volume's mount point");

    LoginArgs loginArgs;
    auto* loginCmd = app.add_subcommand("login", "Sign in and mount the drive");
    loginCmd->add_option("--user", loginArgs.user, "User name (asked when missing)");
    loginCmd->add_option("--password-file", loginArgs.passwordFile, "File holding the password");
    loginCmd->add_flag("--save-password", loginArgs.savePassword, "Remember the password");
    loginCmd->add_flag("--auto-login", loginArgs.autoLogin, "Sign in automatically at start");

    auto* logout = app.add_subcommand("logout", "Sign out (the daemon restarts at the sign-in)");
    auto* quit = app.add_subcommand("quit", "Unmount the drive and end the daemon");
    bool json = false;
    auto* status = app.add_subcommand("status", "Show the sign-in, the drive and what is waiting");
    status->add_flag("--json", json, "Print JSON");
    std::vector<std::string> menuPaths;
    auto* menu = app.add_subcommand("menu", "Show the status menu, item by item, enabled or not");
    menu->add_option("PATH", menuPaths, "Selected volume paths");
    auto* uploads = app.add_subcommand("uploads", "Show the uploads in progress");

    std::vector<std::string> paths;
    auto* trash = app.add_subcommand("trash", "Move volume items to the trash");
    trash->add_option("PATH", paths, "Volume paths (/Folder/file)")->required();
    auto* restore = app.add_subcommand("restore", "Restore items from the trash");
    restore->add_option("PATH", paths, "Paths in the trash (/Trash/file)")->required();
    auto* del = app.add_subcommand("delete", "Delete items in the trash for good");
    del->add_option("PATH", paths, "Paths in the trash (/Trash/file)")->required();
    auto* emptyTrash = app.add_subcommand("empty-trash", "Empty the trash");
    std::string refreshPath = "/";
    auto* refresh =
        app.add_subcommand("refresh", "Refresh a folder of the volume from the service");
    refresh->add_option("PATH", refreshPath, "Volume folder");
    auto* account = app.add_subcommand("account", "Open the account page in the web browser");
    auto* upgrade = app.add_subcommand("upgrade", "Open the plan upgrade page in the web browser");
    auto* open = app.add_subcommand("open", "Open the volume in the file browser");
    auto* sync = app.add_subcommand("sync-and-backup", "Open Keelhaven's sync and backup window");

    std::string unlockPath;
    bool unlockNew = false, unlockTrust = false;
    auto* unlock = app.add_subcommand("unlock", "Answer a secure folder's waiting password prompt");
    unlock->add_option("PATH", unlockPath, "The secure folder asked about");
    unlock->add_flag("--new", unlockNew, "Set up the password of a new secure folder");
    unlock->add_flag("--trust", unlockTrust, "Trust this computer (keep the password)");

    std::string itemPath, shareUser;
    auto* props = app.add_subcommand("props", "Show the properties of a volume item");
    props->add_option("PATH", itemPath, "Volume path")->required();
    auto* share = app.add_subcommand("share", "Share a volume folder with another user");
    share->add_option("PATH", itemPath, "Volume folder")->required();
    share->add_option("USER", shareUser, "The user to share with")->required();

    std::string renameDir;
    bool renameYes = false;
    auto* renameFiles = app.add_subcommand(
        "rename-files", "Repair invalid characters in the names of a local folder");
    renameFiles->add_option("DIR", renameDir, "Local folder")
        ->required()
        ->check(CLI::ExistingDirectory);
    renameFiles->add_flag("--yes", renameYes, "Do not ask for confirmation");

    bool updateYes = false, updateDownloadOnly = false;
    auto* update = app.add_subcommand(
        "update", "Download the offered update and hand it to the package installer");
    update->add_flag("--yes", updateYes, "Do not ask for confirmation (and do not retry)");
    update->add_flag("--download-only", updateDownloadOnly,
                     "Download and check it, then print the command that installs it");

    std::string logsOutput;
    auto* sendLogs = app.add_subcommand(
        "send-logs", "Pack the logs and crash reports into a zip and open an e-mail with it");
    sendLogs->add_option("--output", logsOutput, "Also copy the zip to this file");
    bool uninstallYes = false, uninstallKeepData = false;
    auto* uninstallCmd =
        app.add_subcommand("uninstall", "Sign out and remove the suite (runs bvuninstaller)");
    uninstallCmd->add_flag("--yes", uninstallYes, "Do not ask for confirmation");
    uninstallCmd->add_flag("--keep-data", uninstallKeepData,
                           "Remove only the programs; keep passwords, preferences and data");

    CLI11_PARSE(app, argc, argv);

    if (*update)
        return runUpdateCommand(updateYes, updateDownloadOnly);
    if (*uninstallCmd)
        return uninstall(uninstallYes, uninstallKeepData);
    if (*sendLogs) {
        std::error_code ec;
        std::string output =
            logsOutput.empty() ? "" : std::filesystem::absolute(logsOutput, ec).string();
        std::cerr << "packing the logs..." << std::endl;
        return request({{"cmd", "send-logs"}, {"output", output}});
    }

    if (*daemon)
        return runDaemon(daemonOptions, selfPath());
    if (*loginCmd)
        return login(loginArgs);
    if (*logout)
        return request({{"cmd", "logout"}});
    if (*quit)
        return request({{"cmd", "quit"}});
    if (*status)
        return request({{"cmd", "status"}}, [json](const nlohmann::json& s) {
            if (json) {
                auto copy = s;
                copy.erase("ok");
                copy.erase("message");
                std::cout << copy.dump(2) << std::endl;
            } else {
                printStatus(s);
            }
        });
    if (*menu)
        return request({{"cmd", "menu"}, {"paths", menuPaths}}, [](const nlohmann::json& m) {
            for (const auto& item : m["items"])
                std::cout << (item["enabled"].get<bool>() ? "  [x] " : "  [ ] ")
                          << item["title"].get<std::string>() << "\n";
        });
    if (*uploads)
        return request({{"cmd", "uploads"}}, [](const nlohmann::json& u) {
            if (u["uploads"].empty())
                std::cout << "no uploads in progress\n";
            for (const auto& up : u["uploads"])
                std::cout << up["path"].get<std::string>() << "  " << up["completed"] << "/"
                          << up["total"] << "\n";
        });
    for (auto [cmd, name] : {std::pair{trash, "trash"}, {restore, "restore"}, {del, "delete"}})
        if (*cmd)
            return request({{"cmd", name}, {"paths", paths}});
    if (*unlock) {
        auto password =
            askLine(unlockNew ? "New secure folder password: " : "Secure folder password: ", true);
        return request({{"cmd", "unlock"},
                        {"path", unlockPath},
                        {"new", unlockNew},
                        {"trust", unlockTrust},
                        {"password", password}});
    }
    if (*props)
        return request({{"cmd", "props"}, {"path", itemPath}}, [](const nlohmann::json& p) {
            for (const auto& [key, value] : p["properties"].items())
                std::cout << key << ": "
                          << (value.is_string() ? value.get<std::string>() : value.dump()) << "\n";
        });
    if (*share)
        return request({{"cmd", "share"}, {"path", itemPath}, {"user", shareUser}});
    if (*renameFiles) {
        if (!renameYes) {
            auto answer = askLine(
                "Are you sure you want to replace invalid characters with correct ones and remove "
                "leading spaces in the name of this folder and the names of all folders and files "
                "in it recursively? [y/N] ",
                false);
            if (answer != "y" && answer != "Y" && answer != "yes")
                return fail("cancelled");
        }
        std::error_code ec;
        auto dir = std::filesystem::absolute(renameDir, ec).lexically_normal().string();
        if (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        return request({{"cmd", "rename-files"}, {"dir", dir}});
    }
    if (*emptyTrash)
        return request({{"cmd", "empty-trash"}});
    if (*refresh)
        return request({{"cmd", "refresh"}, {"path", refreshPath}});
    for (auto [cmd, name] : {std::pair{account, "account"},
                             {upgrade, "upgrade"},
                             {open, "open"},
                             {sync, "sync-and-backup"}})
        if (*cmd)
            return request({{"cmd", name}});
    return 1;
}
