// bvuninstaller: removes the suite. Asks on the terminal before it starts unless --yes;
// --keep-data removes only the programs and keeps the user's passwords, preferences and data.

#include <unistd.h>

#include <iostream>
#include <string>

#include <CLI/CLI.hpp>

#include "BVUninstaller/BVUninstaller.h"
#include "app/Logging/BVLogging.h"

namespace {

bool confirmed(bool uninstallData) {
    std::cout << "This removes Brimvault and Keelhaven from this computer";
    if (uninstallData)
        std::cout << ", with your saved passwords, preferences, cached files, logs and backup "
                     "task databases";
    std::cout << ".\nThe volume is ejected and running Brimvault programs are ended.\n"
              << "Continue? [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer))
        return false;
    return answer == "y" || answer == "Y" || answer == "yes";
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Removes Brimvault, Keelhaven and (unless --keep-data) your data."};
    bool yes = false;
    bool keepData = false;
    std::string scriptFolder;
    app.add_flag("-y,--yes", yes, "Do not ask for confirmation");
    app.add_flag("--keep-data", keepData,
                 "Remove only the programs; keep passwords, preferences and data");
    app.add_option("--script-folder", scriptFolder, "Folder holding the removal script")
        ->check(CLI::ExistingDirectory);
    CLI11_PARSE(app, argc, argv);

    BVLogging::setupWithPrefix("BVU");
    if (!yes && !confirmed(!keepData)) {
        std::cout << "Nothing was removed.\n";
        return 0;
    }

    BVUninstaller uninstaller(BVUninstaller::System::live(),
                              scriptFolder.empty() ? BVUninstaller::installedScriptFolder()
                                                   : std::filesystem::path(scriptFolder));
    uninstaller.uninstallData = !keepData;
    int status = uninstaller.uninstall();
    if (status == 0)
        std::cout << (keepData ? "Brimvault was removed; your data was kept.\n"
                               : "Brimvault and your data were removed.\n");
    return status;
}
