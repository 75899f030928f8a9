#include "crypto/rand_data.h"

#include <openssl/rand.h>

#include <algorithm>
#include <climits>

#include "crypto/CBrimvaultException.h"

namespace bv_crypt {

void rand_data::generate(std::uint8_t* buf, std::size_t len) {
    if (len != 0 && buf == nullptr)
        throw CBrimvaultException("rand_data::generate: error");
    for (std::size_t done = 0; done < len;) {
        int step = static_cast<int>(std::min<std::size_t>(len - done, INT_MAX));
        if (RAND_bytes(buf + done, step) != 1)
            throw CBrimvaultException("rand_data::generate: error");
        done += static_cast<std::size_t>(step);
    }
}

}  // namespace bv_crypt
