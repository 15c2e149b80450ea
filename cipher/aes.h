#pragma once
// AES-128 (FIPS-197) on single 16-byte blocks, table-driven on little-endian
// 32-bit words. Input and output may be the same buffer.
#include <cstdint>

struct AesContext {
    uint32_t keyLength;           // in 32-bit words: 4
    uint32_t encryptionKeys[64];  // w[0..43]
    uint32_t decryptionKeys[64];  // equivalent inverse cipher keys, same order
    uint32_t mode;                // 3: both directions prepared
};

void AesSetKey(AesContext& context, const unsigned char key[16]);
void AesEncryptBlock(const AesContext& context, const unsigned char input[16], unsigned char output[16]);
void AesDecryptBlock(const AesContext& context, const unsigned char input[16], unsigned char output[16]);
