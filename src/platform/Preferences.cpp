#include "platform/Preferences.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "platform/XdgPaths.h"

namespace bv {
namespace {

std::filesystem::path defaultFolder() {
    return XdgPaths::configHome() / "Brimvault";
}

// defaultFolder(), remembered per thread for the environment it was made from: every
// request reads its settings through standard(), and building the path is most of that.
const std::filesystem::path& currentDefaultFolder() {
    thread_local std::optional<std::string> configHome, home;
    thread_local std::filesystem::path folder;
    thread_local bool made = false;
    const auto same = [](const std::optional<std::string>& kept, const char* now) {
        return kept ? now && *kept == now : !now;
    };
    const char* configNow = std::getenv("XDG_CONFIG_HOME");
    const char* homeNow = std::getenv("HOME");
    if (!made || !same(configHome, configNow) || !same(home, homeNow)) {
        folder = defaultFolder();
        configHome = configNow ? std::optional<std::string>(configNow) : std::nullopt;
        home = homeNow ? std::optional<std::string>(homeNow) : std::nullopt;
        made = true;
    }
    return folder;
}

bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::mutex standardLock;  // guards standardDomain and the instances of standard()
std::string standardDomain = Preferences::kDriveDomain;
// The store standard() answered last; null after a change of domain. Read without the
// lock: every request reads its settings through standard().
std::atomic<Preferences*> currentStandard{nullptr};

}  // namespace

Preferences::Preferences(std::string domain) : Preferences(domain, defaultFolder()) {}

Preferences::Preferences(std::string domain, std::filesystem::path folder)
    : domain_(std::move(domain)), folder_(std::move(folder)), file_(folder_ / (domain_ + ".json")) {
    std::lock_guard<std::mutex> lock(valuesLock_);
    loadLocked();
}

Preferences& Preferences::standard() {
    // The store follows the environment, so a test that moves $XDG_CONFIG_HOME gets a fresh
    // one. Earlier stores stay alive: callers may still hold references to them.
    static std::vector<std::unique_ptr<Preferences>>* instances =
        new std::vector<std::unique_ptr<Preferences>>();
    const auto& folder = currentDefaultFolder();
    Preferences* current = currentStandard.load(std::memory_order_acquire);
    if (current && current->folder_ == folder)
        return *current;
    std::lock_guard<std::mutex> lock(standardLock);
    const auto wanted = folder / (standardDomain + ".json");
    if (instances->empty() || instances->back()->filePath() != wanted)
        instances->push_back(std::make_unique<Preferences>(standardDomain));
    currentStandard.store(instances->back().get(), std::memory_order_release);
    return *instances->back();
}

void Preferences::setStandardDomain(const std::string& domain) {
    std::lock_guard<std::mutex> lock(standardLock);
    standardDomain = domain;
    currentStandard.store(nullptr, std::memory_order_release);
}

nlohmann::json Preferences::objectForKey(const std::string& key) const {
    std::lock_guard<std::mutex> lock(valuesLock_);
    auto it = values_.find(key);
    return it == values_.end() ? nlohmann::json() : *it;
}

bool Preferences::boolForKey(const std::string& key) const {
    const auto value = objectForKey(key);
    if (value.is_boolean())
        return value.get<bool>();
    if (value.is_number())
        return value.get<double>() != 0;
    return false;
}

std::string Preferences::stringForKey(const std::string& key) const {
    const auto value = objectForKey(key);
    return value.is_string() ? value.get<std::string>() : std::string();
}

void Preferences::setObject(const std::string& key, const nlohmann::json& value) {
    std::lock_guard<std::mutex> lock(valuesLock_);
    values_[key] = value;
    generation_.fetch_add(1, std::memory_order_release);
    saveLocked();
}

void Preferences::removeObjectForKey(const std::string& key) {
    std::lock_guard<std::mutex> lock(valuesLock_);
    values_.erase(key);
    generation_.fetch_add(1, std::memory_order_release);
    saveLocked();
}

void Preferences::reload() {
    std::lock_guard<std::mutex> lock(valuesLock_);
    loadLocked();
    generation_.fetch_add(1, std::memory_order_release);
}

void Preferences::loadLocked() {
    values_ = nlohmann::json::object();
    std::ifstream in(file_, std::ios::binary);
    if (!in)
        return;
    std::stringstream text;
    text << in.rdbuf();
    auto parsed = nlohmann::json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
    if (parsed.is_object())
        values_ = std::move(parsed);
}

bool Preferences::saveLocked() const {
    const auto folder = file_.parent_path();
    if (!XdgPaths::createPrivateDirectories(folder))
        return false;
    std::string tmpl = (folder / ("." + domain_ + ".json.XXXXXX")).string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);  // mode 0600
    if (fd < 0)
        return false;
    // Invalid UTF-8 in a value must not make the write throw.
    const std::string bytes =
        values_.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    bool ok = writeAll(fd, bytes) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok)
        ok = rename(name.data(), file_.c_str()) == 0;
    if (!ok) {
        unlink(name.data());
        return false;
    }
    int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return true;
}

}  // namespace bv
