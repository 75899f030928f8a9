// bvapi: a command-line client of the service API, for developers and for the demo.
// It signs in with the given account and runs one command: list a folder, upload a
// local file, download a file, make a folder, trash an item. Everything it prints that came
// from the service or the command line goes through terminalSafe: a name is not allowed to
// forge lines or drive the terminal.

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "BVApi/Content/BVFileItems.h"
#include "BVApi/Content/BVFolderItems.h"
#include "BVApi/Content/BVFolderListItems.h"
#include "BVApi/Content/BVTransferItems.h"
#include "BVApi/Content/BVUserItems.h"
#include "BVApi/Content/BVVolumePath.h"
#include "BVApi/Networking/BVApiClient.h"
#include "BVApi/Networking/BVApiRequestConfiguration.h"
#include "BVApi/Networking/BVNetworkThread.h"
#include "BVApi/Networking/BVSignInSequence.h"
#include "app/Logging/BVLogging.h"
#include "platform/Data.h"
#include "platform/WholeFile.h"
#include "tools/TerminalText.h"

namespace {

constexpr size_t kChunkSize = 4 * 1024 * 1024;

struct Options {
    std::string api;
    std::string ca;
    std::string user;
    std::string passwordFile;
};

// Asks for the second factor on the terminal: a code, or "sms" to have one sent.
class TerminalTwoFactorPrompt : public BVTwoFactorPrompt {
  public:
    Answer askForSecondFactor(const bv::Error& lastError) override {
        if (lastError)
            std::cerr << "bvapi: " << terminalSafe(lastError.localizedDescription()) << "\n";
        std::cerr << "Two-factor code (or \"sms\" to receive one, empty to cancel): ";
        std::string line;
        if (!std::getline(std::cin, line) || line.empty())
            return {Choice::Cancel, {}};
        if (line == "sms")
            return {Choice::SendTextMessage, {}};
        return {Choice::EnterCode, line};
    }
};

std::optional<std::string> readPassword(const std::string& file) {
    std::ifstream in(file);
    if (!in)
        return std::nullopt;
    std::string password;
    std::getline(in, password);
    return password;
}

std::string errorText(const bv::Error& error) {
    if (!error)
        return "unknown error";
    std::string reason = error.localizedDescription();
    return (reason.empty() ? std::string("error") : reason) + " [" + std::to_string(error.code()) +
           "]";
}

int fail(const std::string& what, const bv::Error& error) {
    std::cerr << "bvapi: " << terminalSafe(what + ": " + errorText(error)) << "\n";
    return 1;
}

int fail(const std::string& what) {
    std::cerr << "bvapi: " << terminalSafe(what) << "\n";
    return 1;
}

std::optional<std::string> folderIdOf(BVApiClient& client, BVApiClientAuthContext& context,
                                      const std::string& path, bv::Error* error) {
    if (path == "/" || path.empty())
        return std::string("0");
    auto item = client.folderIdAt(path, &context, error);
    if (!item || item->identifier == "undefined")
        return std::nullopt;
    return item->identifier;
}

std::string formatDate(double seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", std::gmtime(&t));
    return text;
}

int listFolder(BVApiClient& client, BVApiClientAuthContext& context, const std::string& path) {
    bv::Error error;
    auto id = folderIdOf(client, context, path, &error);
    if (!id)
        return fail("no folder " + path, error);
    auto listing = client.listFolder(*id, std::nullopt, &context, &error);
    if (!listing)
        return fail("listing " + path, error);
    std::cout << terminalSafe(path) << " (" << listing->folders.size() << " folders, "
              << listing->files.size() << " files)\n";
    for (const auto& folder : listing->folders)
        std::cout << "  d " << formatDate(folder->dateModified) << "            "
                  << terminalSafe(folder->name) << "/"
                  << (folder->encrypted ? "  (secure folder)" : "") << "\n";
    for (const auto& file : listing->files) {
        char size[24];
        std::snprintf(size, sizeof size, "%11lld", static_cast<long long>(file->size));
        std::cout << "  - " << formatDate(file->dateModified) << " " << size << " "
                  << terminalSafe(file->name) << "\n";
    }
    return 0;
}

int upload(BVApiClient& client, BVApiClientAuthContext& context, const std::string& local,
           const std::string& remote) {
    std::ifstream in(local, std::ios::binary | std::ios::ate);
    if (!in)
        return fail("cannot read " + local);
    const int64_t size = in.tellg();
    in.seekg(0);
    const std::string parent = BVVolumePath::parent(remote);
    const std::string name = BVVolumePath::lastComponent(remote);
    bv::Error error;
    auto folderId = folderIdOf(client, context, parent, &error);
    if (!folderId)
        return fail("no folder " + parent, error);

    std::shared_ptr<BVUploadFileHandle> handle;
    auto created = client.createFile(name, *folderId, &handle, &context, false, size, &error);
    if (!created && error && error.failureReason() == "File with such a name already exists.") {
        // Replace the content of the existing file.
        error = {};
        auto existing = client.fileIdAt(remote, &context, &error);
        if (existing && existing->identifier != "undefined") {
            handle = client.openFile(existing->identifier, size, &context, &error);
            if (handle)
                handle->identifier = existing->identifier;
        }
    } else if (created && handle) {
        handle->identifier = created->identifier;
    }
    if (!handle)
        return fail("creating " + remote, error);

    bv::Data chunk;
    uint64_t offset = 0;
    while (offset < static_cast<uint64_t>(size)) {
        size_t length = std::min<uint64_t>(kChunkSize, size - offset);
        chunk.resize(length);
        in.read(reinterpret_cast<char*>(chunk.mutableBytes()), length);
        auto result = client.uploadChunk(chunk, offset, handle->identifier, handle->tempLocation,
                                         &context, &error);
        if (!result)
            return fail("uploading " + remote, error);
        offset += length;
        std::cerr << "\ruploaded " << offset << " of " << size << " bytes" << std::flush;
    }
    if (size > 0)
        std::cerr << "\n";
    auto closed = client.closeFileUpload(handle->identifier, size, handle->tempLocation, false,
                                         std::nullopt, &context, &error);
    if (!closed)
        return fail("closing " + remote, error);
    std::cout << terminalSafe("uploaded " + local + " -> " + remote + " (" + std::to_string(size) +
                              " bytes, id " + closed->identifier + ")")
              << "\n";
    return 0;
}

int download(BVApiClient& client, BVApiClientAuthContext& context, const std::string& remote,
             const std::string& local) {
    bv::Error error;
    auto id = client.fileIdAt(remote, &context, &error);
    if (!id || id->identifier == "undefined")
        return fail("no file " + remote, error);
    auto data = client.downloadData(id->identifier, &context, &error);
    if (!data)
        return fail("downloading " + remote, error);
    if (!bv::WholeFile::write(local, *data, &error))
        return fail("cannot write " + local, error);
    std::cout << terminalSafe("downloaded " + remote + " -> " + local + " (" +
                              std::to_string(data->length()) + " bytes)")
              << "\n";
    return 0;
}

int makeFolder(BVApiClient& client, BVApiClientAuthContext& context, const std::string& path) {
    const std::string parent = BVVolumePath::parent(path);
    const std::string name = BVVolumePath::lastComponent(path);
    bv::Error error;
    auto parentId = folderIdOf(client, context, parent, &error);
    if (!parentId)
        return fail("no folder " + parent, error);
    auto folder = client.createFolder(name, *parentId, &context, &error);
    if (!folder)
        return fail("creating " + path, error);
    std::cout << terminalSafe("created " + path + " (id " + folder->identifier + ")") << "\n";
    return 0;
}

int trash(BVApiClient& client, BVApiClientAuthContext& context, const std::string& path) {
    bv::Error error;
    auto file = client.fileIdAt(path, &context, &error);
    if (file && file->identifier != "undefined") {
        if (!client.trashFile(file->identifier, &context, &error))
            return fail("trashing " + path, error);
    } else {
        error = {};
        auto folder = client.folderIdAt(path, &context, &error);
        if (!folder || folder->identifier == "undefined")
            return fail("no item " + path, error);
        if (!client.trashFolder(folder->identifier, &context, &error))
            return fail("trashing " + path, error);
    }
    std::cout << terminalSafe("moved " + path + " to the trash") << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"bvapi: talk to the Brimvault service from the command line"};
    Options options;
    app.add_option("--api", options.api, "API base URL (ends in api/v1/)");
    app.add_option("--ca", options.ca, "extra certificate authority file to trust");
    app.add_option("--user", options.user, "user name")->required();
    app.add_option("--password-file", options.passwordFile, "file holding the password")
        ->required();
    app.require_subcommand(1);

    std::string path = "/", local, remote;
    auto* ls = app.add_subcommand("ls", "list a folder");
    ls->add_option("path", path, "folder path");
    auto* put = app.add_subcommand("put", "upload a local file");
    put->add_option("local", local)->required();
    put->add_option("remote", remote)->required();
    auto* get = app.add_subcommand("get", "download a file");
    get->add_option("remote", remote)->required();
    get->add_option("local", local)->required();
    auto* mkdir = app.add_subcommand("mkdir", "create a folder");
    mkdir->add_option("path", path)->required();
    auto* rm = app.add_subcommand("trash", "move a file or folder to the trash");
    rm->add_option("path", path)->required();
    CLI11_PARSE(app, argc, argv);

    if (!options.api.empty())
        setenv(BVApiRequestConfiguration::kApiBaseURLEnvironment, options.api.c_str(), 1);
    if (!options.ca.empty())
        setenv(BVApiRequestConfiguration::kCAFileEnvironment, options.ca.c_str(), 1);
    BVLogging::setupWithPrefix("BV");

    auto password = readPassword(options.passwordFile);
    if (!password)
        return fail("cannot read " + options.passwordFile);
    BVApiClient& client = *BVApiClient::sharedClient();
    TerminalTwoFactorPrompt prompt;
    auto signedIn = BVSignInSequence::signIn(client, options.user, *password, &prompt);
    if (!signedIn.session)
        return fail("sign-in of " + options.user, signedIn.error);
    BVApiClientAuthContext& context = *signedIn.context;

    int status = 0;
    if (*ls)
        status = listFolder(client, context, path);
    else if (*put)
        status = upload(client, context, local, remote);
    else if (*get)
        status = download(client, context, remote, local);
    else if (*mkdir)
        status = makeFolder(client, context, path);
    else if (*rm)
        status = trash(client, context, path);

    bv::Error error;
    client.logoutWithContext(&context, &error);
    BVNetworkThread::shared().shutdown();
    // Output that could not be written (a full disk, a closed pipe) is a failure too.
    if (!(std::cout << std::flush))
        status = fail("cannot write the output");
    return status;
}
