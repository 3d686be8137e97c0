#include "zelko_common/sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace zelko::common {

struct Sha256::Ctx {
    EVP_MD_CTX* md = nullptr;
};

Sha256::Sha256() : ctx_(std::make_unique<Ctx>()) {
    ctx_->md = EVP_MD_CTX_new();
    if (!ctx_->md || EVP_DigestInit_ex(ctx_->md, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(ctx_->md);
        throw std::runtime_error("SHA-256 unavailable");
    }
}

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_->md); }

void Sha256::Update(const void* data, size_t n) { EVP_DigestUpdate(ctx_->md, data, n); }

std::string Sha256::HexDigest() {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx_->md, md, &len);
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; ++i) {
        out.push_back(kHex[md[i] >> 4]);
        out.push_back(kHex[md[i] & 15]);
    }
    return out;
}

std::string Sha256Hex(const void* data, size_t n) {
    Sha256 s;
    s.Update(data, n);
    return s.HexDigest();
}

}  // namespace zelko::common
