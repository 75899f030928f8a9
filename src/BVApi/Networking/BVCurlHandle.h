#pragma once

#include <curl/curl.h>

#include <memory>

// A curl easy handle. Every handle shares the process's TLS sessions and DNS answers, so a
// new connection resumes a TLS session instead of a full handshake. A thread's own handle
// (forThisThread) is also kept from one exchange to the next with its open connections and
// loaded certificate store, so consecutive synchronous requests of a thread go over one
// TCP and TLS connection.
class BVCurlHandle {
  public:
    // A handle of its own, cleaned up with the object.
    static std::unique_ptr<BVCurlHandle> make();
    // The calling thread's handle, lent until the object is destroyed; its options are
    // reset then, its connections kept. A thread that borrows while it already holds its
    // handle gets a handle of its own.
    static std::unique_ptr<BVCurlHandle> forThisThread();

    // Closes the connections the calling thread keeps; its next exchange opens a new one.
    // For a thread that is done with a server, so the server need not wait for it.
    static void closeThisThreadsConnections();

    ~BVCurlHandle();
    BVCurlHandle(const BVCurlHandle&) = delete;
    BVCurlHandle& operator=(const BVCurlHandle&) = delete;

    // Null when curl could not make a handle.
    CURL* get() const { return easy_; }

  private:
    BVCurlHandle(CURL* easy, bool lent) : easy_(easy), lent_(lent) {}

    CURL* easy_;
    bool lent_;
};
