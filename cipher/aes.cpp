// AES-128 tables, key set-up and block decryption. Block encryption lives in
// aes_encrypt.cpp so that a program which only decrypts does not carry it.
#include "aes.h"

#include "aes_tables.h"

namespace {

constexpr uint8_t Double(uint8_t v)
{
    return static_cast<uint8_t>((v << 1) ^ ((v & 0x80) ? 0x1B : 0x00));
}

constexpr uint8_t Multiply(uint8_t a, uint8_t b)
{
    uint8_t product = 0;
    while (b != 0) {
        if (b & 1)
            product ^= a;
        a = Double(a);
        b >>= 1;
    }
    return product;
}

constexpr uint8_t RotateByteLeft(uint8_t v, int bits)
{
    return static_cast<uint8_t>((v << bits) | (v >> (8 - bits)));
}

constexpr uint32_t RotateLeft(uint32_t v, int bits)
{
    return (v << bits) | (v >> (32 - bits));
}

constexpr uint32_t RotateRight(uint32_t v, int bits)
{
    return (v >> bits) | (v << (32 - bits));
}

constexpr uint32_t Pack(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3)
{
    return uint32_t(b0) | uint32_t(b1) << 8 | uint32_t(b2) << 16 | uint32_t(b3) << 24;
}

// The tables are computed by the compiler from the field arithmetic, so they are
// constant data in the image: nothing to initialise at run time, nothing to lock.
constexpr AesTables MakeTables()
{
    // 3 generates the multiplicative group, so the inverse of 3^k is 3^(255-k).
    uint8_t power[255] = {};
    uint8_t logarithm[256] = {};
    uint8_t p = 1;
    for (int k = 0; k < 255; ++k) {
        power[k] = p;
        logarithm[p] = static_cast<uint8_t>(k);
        p = Multiply(p, 3);
    }

    uint8_t sbox[256] = {};
    uint8_t inverseSbox[256] = {};
    for (int x = 0; x < 256; ++x) {
        const uint8_t inverse = x == 0 ? 0 : power[(255 - logarithm[x]) % 255];
        const uint8_t s = static_cast<uint8_t>(inverse ^ RotateByteLeft(inverse, 1) ^ RotateByteLeft(inverse, 2) ^
                                               RotateByteLeft(inverse, 3) ^ RotateByteLeft(inverse, 4) ^ 0x63);
        sbox[x] = s;
        inverseSbox[s] = static_cast<uint8_t>(x);
    }

    AesTables tables{};
    for (int x = 0; x < 256; ++x) {
        const uint8_t s = sbox[x];
        const uint8_t is = inverseSbox[x];
        const uint32_t e = Pack(Multiply(s, 0x02), s, s, Multiply(s, 0x03));
        const uint32_t d = Pack(Multiply(is, 0x0E), Multiply(is, 0x09), Multiply(is, 0x0D), Multiply(is, 0x0B));
        tables.encrypt[0][x] = e;
        tables.decrypt[0][x] = d;
        for (int k = 1; k < 4; ++k) {
            tables.encrypt[k][x] = RotateLeft(e, 8 * k);
            tables.decrypt[k][x] = RotateLeft(d, 8 * k);
        }
        for (int k = 0; k < 4; ++k) {
            tables.sbox[k][x] = uint32_t(s) << (8 * k);
            tables.inverseSbox[k][x] = uint32_t(is) << (8 * k);
        }
    }
    return tables;
}

constexpr uint32_t roundConstants[10] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1B, 0x36};

// InvMixColumns of one packed column, without tables.
inline uint32_t InverseMixColumn(uint32_t w)
{
    auto d = [](uint32_t v) { return ((v & 0x7F7F7F7Fu) << 1) ^ (((v >> 7) & 0x01010101u) * 0x1B); };
    const uint32_t a = d(w);
    const uint32_t b = d(a);
    const uint32_t c = d(b);
    const uint32_t n = w ^ c;
    return a ^ b ^ c ^ RotateLeft(n, 8) ^ RotateLeft(n ^ b, 16) ^ RotateRight(n ^ a, 8);
}

}  // namespace

constexpr AesTables aesTables = MakeTables();

void AesSetKey(AesContext& context, const unsigned char key[16])
{
    const auto& S = aesTables.sbox;
    context.keyLength = 4;
    context.mode = 3;

    uint32_t* w = context.encryptionKeys;
    for (int i = 0; i < 4; ++i)
        w[i] = AesLoadWord(key + 4 * i);
    for (int j = 0; j < 10; ++j) {
        const int i = 4 + 4 * j;
        const uint32_t t = RotateRight(w[i - 1], 8);
        w[i] = S[0][t & 0xFF] ^ S[1][(t >> 8) & 0xFF] ^ S[2][(t >> 16) & 0xFF] ^ S[3][t >> 24] ^
               roundConstants[j] ^ w[i - 4];
        w[i + 1] = w[i] ^ w[i - 3];
        w[i + 2] = w[i + 1] ^ w[i - 2];
        w[i + 3] = w[i + 2] ^ w[i - 1];
    }

    uint32_t* dk = context.decryptionKeys;
    for (int i = 0; i < 4; ++i)
        dk[i] = w[i];
    for (uint32_t i = 4; i <= 4 * context.keyLength + 23; ++i)
        dk[i] = InverseMixColumn(w[i]);
    for (int i = 40; i < 44; ++i)
        dk[i] = w[i];

    for (int i = 44; i < 64; ++i) {
        w[i] = 0;
        dk[i] = 0;
    }
}

// One full decryption round from s into t with round keys k[0..3].
#define VARN_AES_DECRYPT_ROUND(t, s, k)                                                                       \
    t##0 = D[0][s##0 & 0xFF] ^ D[1][(s##3 >> 8) & 0xFF] ^ D[2][(s##2 >> 16) & 0xFF] ^ D[3][s##1 >> 24] ^ (k)[0]; \
    t##1 = D[0][s##1 & 0xFF] ^ D[1][(s##0 >> 8) & 0xFF] ^ D[2][(s##3 >> 16) & 0xFF] ^ D[3][s##2 >> 24] ^ (k)[1]; \
    t##2 = D[0][s##2 & 0xFF] ^ D[1][(s##1 >> 8) & 0xFF] ^ D[2][(s##0 >> 16) & 0xFF] ^ D[3][s##3 >> 24] ^ (k)[2]; \
    t##3 = D[0][s##3 & 0xFF] ^ D[1][(s##2 >> 8) & 0xFF] ^ D[2][(s##1 >> 16) & 0xFF] ^ D[3][s##0 >> 24] ^ (k)[3]

void AesDecryptBlock(const AesContext& context, const unsigned char input[16], unsigned char output[16])
{
    const auto& D = aesTables.decrypt;
    const auto& I = aesTables.inverseSbox;
    const uint32_t* k = context.decryptionKeys;

    // Everything is read before anything is written, so input may be output.
    uint32_t s0 = AesLoadWord(input) ^ k[40];
    uint32_t s1 = AesLoadWord(input + 4) ^ k[41];
    uint32_t s2 = AesLoadWord(input + 8) ^ k[42];
    uint32_t s3 = AesLoadWord(input + 12) ^ k[43];
    uint32_t t0, t1, t2, t3;

    VARN_AES_DECRYPT_ROUND(t, s, k + 36);
    VARN_AES_DECRYPT_ROUND(s, t, k + 32);
    VARN_AES_DECRYPT_ROUND(t, s, k + 28);
    VARN_AES_DECRYPT_ROUND(s, t, k + 24);
    VARN_AES_DECRYPT_ROUND(t, s, k + 20);
    VARN_AES_DECRYPT_ROUND(s, t, k + 16);
    VARN_AES_DECRYPT_ROUND(t, s, k + 12);
    VARN_AES_DECRYPT_ROUND(s, t, k + 8);
    VARN_AES_DECRYPT_ROUND(t, s, k + 4);

    AesStoreWord(output, I[0][t0 & 0xFF] ^ I[1][(t3 >> 8) & 0xFF] ^ I[2][(t2 >> 16) & 0xFF] ^ I[3][t1 >> 24] ^ k[0]);
    AesStoreWord(output + 4, I[0][t1 & 0xFF] ^ I[1][(t0 >> 8) & 0xFF] ^ I[2][(t3 >> 16) & 0xFF] ^ I[3][t2 >> 24] ^ k[1]);
    AesStoreWord(output + 8, I[0][t2 & 0xFF] ^ I[1][(t1 >> 8) & 0xFF] ^ I[2][(t0 >> 16) & 0xFF] ^ I[3][t3 >> 24] ^ k[2]);
    AesStoreWord(output + 12, I[0][t3 & 0xFF] ^ I[1][(t2 >> 8) & 0xFF] ^ I[2][(t1 >> 16) & 0xFF] ^ I[3][t0 >> 24] ^ k[3]);
}

#undef VARN_AES_DECRYPT_ROUND
