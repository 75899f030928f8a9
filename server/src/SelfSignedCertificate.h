#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace bvserver {

// A certificate and key made on this machine for serving HTTPS on loopback. The
// certificate is its own CA and names localhost, 127.0.0.1 and ::1, so a client that
// trusts the certificate file verifies the peer with verification left on.
struct CertificateFiles {
    std::filesystem::path certificate;  // PEM
    std::filesystem::path privateKey;   // PEM, mode 0600
};

class SelfSignedCertificate {
  public:
    // Writes "<folder>/<stem>.crt" and "<folder>/<stem>.key" (creating the folder).
    // Answers nothing and sets *error on failure.
    static std::optional<CertificateFiles> generate(const std::filesystem::path& folder,
                                                    const std::string& stem, std::string* error,
                                                    int validDays = 825);
};

}  // namespace bvserver
