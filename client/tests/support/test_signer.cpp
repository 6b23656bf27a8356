#include "support/test_signer.h"

#include <cctype>

#include "core/library_module.h"

std::vector<uint8_t> SignWithSeed(const std::string& message, const std::vector<uint8_t>& seed,
                                  std::vector<uint8_t>* publicKey) {
    if (seed.size() != 32) return {};
    ScopedModule sodium = LoadLibraryAt(SignatureLibraryPath());
    auto init = sodium.Find<int (*)()>("sodium_init");
    auto keypair = sodium.Find<int (*)(unsigned char*, unsigned char*, const unsigned char*)>("crypto_sign_seed_keypair");
    auto sign = sodium.Find<int (*)(unsigned char*, unsigned long long*, const unsigned char*, unsigned long long,
                                    const unsigned char*)>("crypto_sign_detached");
    if (!init || !keypair || !sign || init() < 0) return {};
    std::vector<uint8_t> pk(32), secret(64), signature(64);
    if (keypair(pk.data(), secret.data(), seed.data()) != 0) return {};
    unsigned long long length = 0;
    if (sign(signature.data(), &length, reinterpret_cast<const unsigned char*>(message.data()), message.size(),
             secret.data()) != 0)
        return {};
    if (publicKey) *publicKey = pk;
    return signature;
}

std::vector<uint8_t> HexToBytes(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(hex[i])) || !std::isxdigit(static_cast<unsigned char>(hex[i + 1])))
            break;
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}
