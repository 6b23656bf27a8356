// Ed25519 signing for tests, through the real signature library beside the test program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Signs `message` with the key pair of a 32-byte seed; `publicKey` receives the 32-byte public key.
// Empty when the library or its signing functions are unavailable.
std::vector<uint8_t> SignWithSeed(const std::string& message, const std::vector<uint8_t>& seed,
                                  std::vector<uint8_t>* publicKey = nullptr);

// Lower-case or upper-case hexadecimal text to bytes (stops at the first non-hex pair).
std::vector<uint8_t> HexToBytes(const std::string& hex);
