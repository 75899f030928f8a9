#include "BVApi/Networking/BVCurlHandle.h"

#include <array>
#include <mutex>

namespace {

// The TLS sessions and DNS answers of every handle. Never cleaned up: handles of other
// threads may outlive any static.
class CurlShare {
  public:
    CurlShare() : share_(curl_share_init()) {
        if (!share_)
            return;
        curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &CurlShare::lock);
        curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &CurlShare::unlock);
        curl_share_setopt(share_, CURLSHOPT_USERDATA, static_cast<void*>(this));
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    CURLSH* get() const { return share_; }

  private:
    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<CurlShare*>(self)->locks_[index(data)].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* self) {
        static_cast<CurlShare*>(self)->locks_[index(data)].unlock();
    }
    static size_t index(curl_lock_data data) {
        auto i = static_cast<size_t>(data);
        return i < CURL_LOCK_DATA_LAST ? i : 0;
    }

    CURLSH* share_;
    // One per kind of shared data, each guarding that data; curl takes them only while it
    // looks up or stores a session or an address, that is when it opens a connection.
    std::array<std::mutex, CURL_LOCK_DATA_LAST> locks_;
};

CURL* newEasyHandle() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    static auto* share = new CurlShare();
    CURL* easy = curl_easy_init();
    if (easy && share->get())
        curl_easy_setopt(easy, CURLOPT_SHARE, share->get());
    return easy;
}

struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};

// The calling thread's idle handle; empty while it is lent. Closed when the thread ends.
thread_local std::unique_ptr<CURL, EasyCleanup> idleThreadHandle;
thread_local bool threadHandleMade = false;

}  // namespace

std::unique_ptr<BVCurlHandle> BVCurlHandle::make() {
    return std::unique_ptr<BVCurlHandle>(new BVCurlHandle(newEasyHandle(), false));
}

std::unique_ptr<BVCurlHandle> BVCurlHandle::forThisThread() {
    if (!threadHandleMade) {
        idleThreadHandle.reset(newEasyHandle());
        threadHandleMade = idleThreadHandle != nullptr;
    }
    if (!idleThreadHandle)
        return make();
    return std::unique_ptr<BVCurlHandle>(new BVCurlHandle(idleThreadHandle.release(), true));
}

void BVCurlHandle::closeThisThreadsConnections() {
    idleThreadHandle.reset();
    threadHandleMade = false;
}

BVCurlHandle::~BVCurlHandle() {
    if (!easy_)
        return;
    if (!lent_) {
        curl_easy_cleanup(easy_);
        return;
    }
    // Forgets the options (and with them every pointer into the finished request), keeps
    // the connections, sessions and the share.
    curl_easy_reset(easy_);
    if (idleThreadHandle)
        curl_easy_cleanup(easy_);  // returned on a thread that has one already
    else
        idleThreadHandle.reset(easy_);
}
