#pragma once
// Constant lookup tables of the table-driven AES rounds, shared by the
// encrypting and decrypting halves. Words hold bytes little-endian: byte 0 is
// the least significant.
#include <cstdint>

struct AesTables {
    uint32_t encrypt[4][256];     // 02·S, S, S, 03·S, then rotated left by 8, 16, 24
    uint32_t decrypt[4][256];     // 0e·IS, 09·IS, 0d·IS, 0b·IS, then rotated likewise
    uint32_t sbox[4][256];        // S[x] alone in byte 0, 1, 2 or 3
    uint32_t inverseSbox[4][256]; // IS[x] alone in byte 0, 1, 2 or 3
};

extern const AesTables aesTables;

inline uint32_t AesLoadWord(const unsigned char* bytes)
{
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

inline void AesStoreWord(unsigned char* bytes, uint32_t word)
{
    bytes[0] = static_cast<unsigned char>(word);
    bytes[1] = static_cast<unsigned char>(word >> 8);
    bytes[2] = static_cast<unsigned char>(word >> 16);
    bytes[3] = static_cast<unsigned char>(word >> 24);
}
