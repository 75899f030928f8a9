#include "SelfSignedCertificate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace bvserver {

namespace {
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
struct FileClose {
    void operator()(FILE* f) const { fclose(f); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using FilePtr = std::unique_ptr<FILE, FileClose>;

bool addExtension(X509* cert, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext)
        return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

// Opens path for writing with the given mode, replacing a previous file without
// following a symbolic link.
FilePtr openForWriting(const std::filesystem::path& path, mode_t mode) {
    ::unlink(path.c_str());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        return nullptr;
    FILE* f = fdopen(fd, "w");
    if (!f)
        ::close(fd);
    return FilePtr(f);
}
}  // namespace

std::optional<CertificateFiles> SelfSignedCertificate::generate(const std::filesystem::path& folder,
                                                                const std::string& stem,
                                                                std::string* error, int validDays) {
    auto fail = [&](const std::string& why) -> std::optional<CertificateFiles> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec)
        return fail("cannot create " + folder.string() + ": " + ec.message());

    PkeyPtr key(EVP_EC_gen("P-256"));
    if (!key)
        return fail("key generation failed");

    X509Ptr cert(X509_new());
    if (!cert)
        return fail("certificate allocation failed");
    X509_set_version(cert.get(), 2);
    unsigned char serial[16];
    RAND_bytes(serial, sizeof serial);
    serial[0] &= 0x7f;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 60L * 60 * 24 * validDays);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(
        name, "O", MBSTRING_ASC,
        reinterpret_cast<const unsigned char*>("Brimvault reference service"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    if (!addExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE") ||
        !addExtension(cert.get(), NID_key_usage, "critical,digitalSignature,keyCertSign") ||
        !addExtension(cert.get(), NID_ext_key_usage, "serverAuth") ||
        !addExtension(cert.get(), NID_subject_key_identifier, "hash") ||
        !addExtension(cert.get(), NID_subject_alt_name,
                      "DNS:localhost,IP:127.0.0.1,IP:0:0:0:0:0:0:0:1")) {
        return fail("certificate extensions failed");
    }
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0)
        return fail("signing failed");

    CertificateFiles files{folder / (stem + ".crt"), folder / (stem + ".key")};
    FilePtr keyFile = openForWriting(files.privateKey, 0600);
    if (!keyFile ||
        PEM_write_PrivateKey(keyFile.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return fail("cannot write " + files.privateKey.string());
    FilePtr certFile = openForWriting(files.certificate, 0644);
    if (!certFile || PEM_write_X509(certFile.get(), cert.get()) != 1)
        return fail("cannot write " + files.certificate.string());
    return files;
}

}  // namespace bvserver
