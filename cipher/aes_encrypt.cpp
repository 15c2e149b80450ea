// AES-128 block encryption; only the control centre needs it.
#include "aes.h"

#include "aes_tables.h"

// One full encryption round from s into t with round keys k[0..3].
#define VARN_AES_ENCRYPT_ROUND(t, s, k)                                                                       \
    t##0 = E[0][s##0 & 0xFF] ^ E[1][(s##1 >> 8) & 0xFF] ^ E[2][(s##2 >> 16) & 0xFF] ^ E[3][s##3 >> 24] ^ (k)[0]; \
    t##1 = E[0][s##1 & 0xFF] ^ E[1][(s##2 >> 8) & 0xFF] ^ E[2][(s##3 >> 16) & 0xFF] ^ E[3][s##0 >> 24] ^ (k)[1]; \
    t##2 = E[0][s##2 & 0xFF] ^ E[1][(s##3 >> 8) & 0xFF] ^ E[2][(s##0 >> 16) & 0xFF] ^ E[3][s##1 >> 24] ^ (k)[2]; \
    t##3 = E[0][s##3 & 0xFF] ^ E[1][(s##0 >> 8) & 0xFF] ^ E[2][(s##1 >> 16) & 0xFF] ^ E[3][s##2 >> 24] ^ (k)[3]

void AesEncryptBlock(const AesContext& context, const unsigned char input[16], unsigned char output[16])
{
    const auto& E = aesTables.encrypt;
    const auto& S = aesTables.sbox;
    const uint32_t* k = context.encryptionKeys;

    // Everything is read before anything is written, so input may be output.
    uint32_t s0 = AesLoadWord(input) ^ k[0];
    uint32_t s1 = AesLoadWord(input + 4) ^ k[1];
    uint32_t s2 = AesLoadWord(input + 8) ^ k[2];
    uint32_t s3 = AesLoadWord(input + 12) ^ k[3];
    uint32_t t0, t1, t2, t3;

    VARN_AES_ENCRYPT_ROUND(t, s, k + 4);
    VARN_AES_ENCRYPT_ROUND(s, t, k + 8);
    VARN_AES_ENCRYPT_ROUND(t, s, k + 12);
    VARN_AES_ENCRYPT_ROUND(s, t, k + 16);
    VARN_AES_ENCRYPT_ROUND(t, s, k + 20);
    VARN_AES_ENCRYPT_ROUND(s, t, k + 24);
    VARN_AES_ENCRYPT_ROUND(t, s, k + 28);
    VARN_AES_ENCRYPT_ROUND(s, t, k + 32);
    VARN_AES_ENCRYPT_ROUND(t, s, k + 36);

    AesStoreWord(output, S[0][t0 & 0xFF] ^ S[1][(t1 >> 8) & 0xFF] ^ S[2][(t2 >> 16) & 0xFF] ^ S[3][t3 >> 24] ^ k[40]);
    AesStoreWord(output + 4, S[0][t1 & 0xFF] ^ S[1][(t2 >> 8) & 0xFF] ^ S[2][(t3 >> 16) & 0xFF] ^ S[3][t0 >> 24] ^ k[41]);
    AesStoreWord(output + 8, S[0][t2 & 0xFF] ^ S[1][(t3 >> 8) & 0xFF] ^ S[2][(t0 >> 16) & 0xFF] ^ S[3][t1 >> 24] ^ k[42]);
    AesStoreWord(output + 12, S[0][t3 & 0xFF] ^ S[1][(t0 >> 8) & 0xFF] ^ S[2][(t1 >> 16) & 0xFF] ^ S[3][t2 >> 24] ^ k[43]);
}

#undef VARN_AES_ENCRYPT_ROUND
