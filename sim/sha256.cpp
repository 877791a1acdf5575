#include "sha256.h"

#include <openssl/evp.h>

namespace zvsim {

std::string sha256Hex(const uint8_t* data, size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    static const uint8_t kEmpty = 0;
    if (EVP_Digest(size ? data : &kEmpty, size, digest, &length, EVP_sha256(), nullptr) != 1)
        return {};
    static const char* kHex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += kHex[digest[i] >> 4];
        out += kHex[digest[i] & 0xF];
    }
    return out;
}

}  // namespace zvsim
