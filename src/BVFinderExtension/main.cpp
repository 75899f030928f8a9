// bvfinder: the file-browser extension on the command line. "menu" prints the menu the
// extension offers for a selection, "action" sends one of its actions to the drive
// application, "agent" serves file-manager plug-ins over the line protocol of FinderAgent.

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "BVFinderExtension/FinderAgent.h"
#include "BVFinderExtension/FinderSync.h"
#include "platform/RunLoop.h"

namespace {

std::string absolute(const std::string& path) {
    if (path.empty())
        return path;
    std::error_code ec;
    auto full = std::filesystem::absolute(path, ec);
    return ec ? path : full.lexically_normal().string();
}

FinderSelection selectionOf(const std::string& target, const std::vector<std::string>& paths) {
    FinderSelection selection{{}, absolute(target)};
    for (const auto& path : paths)
        selection.selectedItems.push_back(absolute(path));
    return selection;
}

int printMenu(const std::string& kindName, const FinderSelection& selection) {
    auto kind = FinderAgent::kindNamed(kindName);
    if (!kind) {
        std::cerr << "bvfinder: unknown menu kind " << kindName << "\n";
        return 2;
    }
    FinderSync finder(FinderSync::Options{});
    // A fresh process knows no storage figures yet; the answer to init's request is short.
    bv::RunLoop::current().runUntil([&] { return finder.storageInfo() != nullptr; }, 2.0);
    for (const auto& line : FinderAgent::menuLines(finder.menuForMenuKind(*kind, selection)))
        std::cout << line << "\n";
    return 0;
}

int sendAction(const std::string& name, const FinderSelection& selection) {
    FinderSync finder(FinderSync::Options{});
    if (!finder.performAction(name, selection)) {
        std::cerr << "bvfinder: unknown action " << name << "\n";
        return 2;
    }
    return 0;
}

// Serves requests from standard input until it closes; answers go to standard output.
int runAgent() {
    FinderSync finder(FinderSync::Options{});
    FinderAgent agent(finder);
    std::cout << FinderAgent::joinFields({"ready", finder.drivePath()}) << std::endl;
    auto& loop = bv::RunLoop::current();
    std::string pending;
    loop.addFdSource(STDIN_FILENO, POLLIN, [&](short) {
        char buffer[4096];
        ssize_t n = read(STDIN_FILENO, buffer, sizeof(buffer));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (n <= 0) {
            loop.stop();
            return;
        }
        pending.append(buffer, static_cast<size_t>(n));
        size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            for (const auto& answer : agent.handleLine(line))
                std::cout << answer << "\n";
            std::cout.flush();
        }
        // A request line has no business being this long; forget it rather than grow.
        if (pending.size() > (1 << 20))
            pending.clear();
    });
    loop.run();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bv::RunLoop::makeCurrentThreadMain();
    CLI::App app{"Brimvault file-browser extension"};
    app.require_subcommand(1);

    std::string kind, target, actionName;
    std::vector<std::string> paths;
    auto* menu = app.add_subcommand("menu", "print the menu offered for a selection");
    menu->add_option("--kind", kind, "items, container, sidebar or toolbar")->required();
    menu->add_option("--target", target, "the folder the file browser shows");
    menu->add_option("paths", paths, "the selected items");

    auto* action = app.add_subcommand("action", "send one action to the drive application");
    action
        ->add_option("name", actionName,
                     "share, showProps, refreshFolder, moveToTrash, restore, delete, "
                     "emptyTrash or goToDrive")
        ->required();
    action->add_option("--target", target, "the folder the file browser shows");
    action->add_option("paths", paths, "the selected items");

    auto* agent = app.add_subcommand("agent", "serve file-manager plug-ins on stdin and stdout");

    CLI11_PARSE(app, argc, argv);
    if (*menu)
        return printMenu(kind, selectionOf(target, paths));
    if (*action)
        return sendAction(actionName, selectionOf(target, paths));
    if (*agent)
        return runAgent();
    return 2;
}
