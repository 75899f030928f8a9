#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

class CommSocketClient;

// A `brimvault` command's side of the control socket: one connection, requests sent as
// dictionaries, replies and events waited for on the main run loop.
class BVControlClient {
  public:
    BVControlClient();
    ~BVControlClient();

    // False when no daemon answers at the socket.
    bool connect(const std::string& path);
    bool send(const nlohmann::json& request);
    // The next message from the daemon, or nothing when it went away or seconds passed.
    std::optional<nlohmann::json> next(double seconds);

  private:
    struct Receiver;
    std::unique_ptr<Receiver> receiver_;
    std::shared_ptr<CommSocketClient> socket_;
};
