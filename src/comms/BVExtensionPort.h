#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "comms/BVExtensionMessage.h"
#include "platform/RunLoop.h"
#include "platform/UniqueFd.h"

// A named message port: a Unix datagram socket named after the port inside the per-user
// runtime folder, which serves as the name service (a port exists while its socket
// answers). Only datagrams of our own user are taken; what arrives damaged or cut short is
// dropped with one log record. Served on the run loop of the thread that opened it.
class BVExtensionPort {
  public:
    enum class SendResult { Sent, Dead, Busy };
    using Receiver = std::function<void(const BVExtensionMessage&)>;

    // Registers name; nothing when the runtime folder cannot be had, the name is taken by a
    // live port or its path is not ours. A stale socket of ours under the name is replaced.
    static std::unique_ptr<BVExtensionPort> open(const std::string& name, Receiver receiver);
    ~BVExtensionPort();
    BVExtensionPort(const BVExtensionPort&) = delete;
    BVExtensionPort& operator=(const BVExtensionPort&) = delete;

    const std::string& name() const { return name_; }

    // Sends without waiting. Dead when no socket answers under destination.
    SendResult send(const std::string& destination, const bv::Data& datagram) const;
    // Whether a port of that name answers now.
    static bool exists(const std::string& name);
    static std::optional<std::filesystem::path> pathOf(const std::string& name);

    // Largest datagram taken; longer ones are dropped.
    static constexpr size_t kMaxDatagram = 1024 * 1024;

  private:
    BVExtensionPort(std::string name, std::filesystem::path path, bv::UniqueFd fd,
                    Receiver receiver);
    void handleReadable();

    std::string name_;
    std::filesystem::path path_;
    bv::UniqueFd fd_;
    Receiver receiver_;
    bv::RunLoop* runLoop_ = nullptr;
    bv::RunLoop::SourceId source_ = 0;
};
