#include "brimvault/BVUpdateCommand.h"

#include <unistd.h>

#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "app/Shell/BVUpdateInstaller.h"
#include "app/Shell/DownloadUpdate.h"
#include "brimvault/BVControlClient.h"
#include "brimvault/BVControlServer.h"
#include "platform/ProcessRunner.h"
#include "tools/TerminalText.h"

namespace {

int fail(const std::string& reason) {
    std::cerr << "brimvault: " << reason << std::endl;
    return 1;
}

bool confirmed(const std::string& question) {
    std::cerr << question << " [y/N] " << std::flush;
    std::string line;
    std::getline(std::cin, line);
    return line == "y" || line == "Y" || line == "yes";
}

std::optional<nlohmann::json> daemonStatus() {
    BVControlClient client;
    if (!client.connect(BVControlServer::socketPath()) || !client.send({{"cmd", "status"}}))
        return std::nullopt;
    return client.next(30);
}

// The file the daemon downloaded is checked once more here: it is what goes to root.
int handOff(const nlohmann::json& ready, bool yes, bool downloadOnly) {
    const std::string file = ready.value("file", "");
    std::string why;
    if (!DownloadUpdate::isPrivateFile(file, &why))
        return fail("the downloaded update is not handed on: " + why);
    if (DownloadUpdate::sha256Of(file) != ready.value("sha256", ""))
        return fail("the downloaded update " + file + " changed after its download");
    std::cerr << "the update is downloaded to " << file << std::endl;
    auto plan = BVUpdateInstaller::plan(file, yes, BVUpdateInstaller::System::current());
    if (downloadOnly) {
        std::cout << "install it as root with: " << plan.manualCommand << std::endl;
        return 0;
    }
    if (plan.argv.empty())
        return fail(plan.reason);
    std::string shown;
    for (const auto& arg : plan.argv)
        shown += (shown.empty() ? "" : " ") + arg;
    std::cerr << "installing: " << shown << std::endl;
    const int status = bv::ProcessRunner::run(plan.argv, {});
    if (status != 0)
        return fail("the installer ended with status " + std::to_string(status) +
                    "; as root, run: " + plan.manualCommand);
    std::cerr << "the update is installed; start it again with: brimvault daemon" << std::endl;
    return 0;
}

}  // namespace

int runUpdateCommand(bool yes, bool downloadOnly) {
    auto status = daemonStatus();
    if (!status)
        return fail("the daemon is not running (start it with: brimvault daemon)");
    bool retryQuestion = false;
    for (const auto& prompt : status->value("pendingPrompts", nlohmann::json::array()))
        retryQuestion = retryQuestion || prompt.value("kind", "") == "choice";
    nlohmann::json offer;
    for (const auto& shown : status->value("notifications", nlohmann::json::array()))
        if (shown.value("update", false))
            offer = shown;
    if (!retryQuestion) {
        if (offer.is_null())
            return fail("no update is offered (the service offers one after the sign-in)");
        std::cerr << "update offered: " << terminalSafe(offer.value("text", "")) << "\n"
                  << "from: " << terminalSafe(offer.value("url", "")) << std::endl;
        if (!yes && !confirmed("Download it now? Brimvault signs out and ends for the install."))
            return fail("cancelled; nothing was downloaded");
    }

    BVControlClient client;
    nlohmann::json request = {{"cmd", "update"}};
    if (retryQuestion)
        request["retry"] = yes || confirmed("The last download of the update failed. Retry it?");
    if (!client.connect(BVControlServer::socketPath()) || !client.send(request))
        return fail("the daemon did not take the request");
    const bool tty = ::isatty(2);
    for (;;) {
        auto message = client.next(600);
        if (!message)
            return fail("the daemon went away during the update");
        if (message->contains("ok") && !message->value("ok", false))
            return fail(message->value("message", "the update was refused"));
        const std::string event = message->value("event", "");
        if (event == "progress") {
            if (tty)
                std::cerr << "\rdownloading the update: " << message->value("percent", 0) << "%"
                          << std::flush;
        } else if (event == "prompt" && message->value("kind", "") == "choice") {
            if (tty)
                std::cerr << std::endl;
            std::cerr << terminalSafe(message->value("message", "")) << std::endl;
            // With --yes nobody is asked, so a failing download is not retried for good.
            const bool retry = !yes && confirmed("Retry?");
            client.send({{"cmd", "update"}, {"retry", retry}});
        } else if (event == "failed") {
            return fail("the update was not downloaded: " + message->value("reason", "") +
                        " (the daemon restarts at the sign-in)");
        } else if (event == "ready") {
            if (tty)
                std::cerr << std::endl;
            return handOff(*message, yes, downloadOnly);
        }
    }
}
