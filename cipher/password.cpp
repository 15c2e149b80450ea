// DecryptPassword and the password key; both programs carry this file.
#include "password.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "aes.h"
#include "password_internal.h"

namespace password_internal {

namespace {

// The system's one fixed seed: changing it makes every stored password unreadable.
const unsigned int passwordSeed = 0x5A17C3E9u;

void* HeapBuffer(size_t bytes)
{
    return HeapAlloc(GetProcessHeap(), 0, bytes);
}

void FreeHeapBuffer(void* buffer)
{
    HeapFree(GetProcessHeap(), 0, buffer);
}

}  // namespace

void* (*allocateBuffer)(size_t bytes) = HeapBuffer;
void (*releaseBuffer)(void* buffer) = FreeHeapBuffer;

void BuildPasswordKey(unsigned char key[16])
{
    srand(passwordSeed);
    for (int i = 0; i < 16; ++i)
        key[i] = static_cast<unsigned char>(rand() % 256);
}

}  // namespace password_internal

namespace {

// Only the low 8 bits count and nothing is rejected: anything but A-F and a-f
// is taken as a digit (c - 48), so malformed text decodes to some byte.
unsigned int HexValue(wchar_t character)
{
    const unsigned int c = static_cast<unsigned int>(character) & 0xFF;
    if (c >= 'A' && c <= 'F')
        return c - 55;
    if (c >= 'a' && c <= 'f')
        return c - 87;
    return c - 48;
}

}  // namespace

bool DecryptPassword(std::wstring& text)
{
    using password_internal::Buffer;

    const size_t m = text.size() / 2;  // a last, unpaired character is ignored
    Buffer key(16);
    if (!key)
        return false;
    Buffer ciphertext(m);
    if (!ciphertext)
        return false;
    Buffer plaintext(m + 2);
    if (!plaintext)
        return false;

    password_internal::BuildPasswordKey(key.get());
    std::memset(plaintext.get(), 0, m + 2);

    for (size_t i = 0; i < m; ++i)
        ciphertext.get()[i] =
            static_cast<unsigned char>(((HexValue(text[2 * i]) << 4) | HexValue(text[2 * i + 1])) & 0xFF);

    // Only whole blocks are decrypted; the bytes of a last, partial block (no
    // stored password has one) are ignored.
    const size_t blocks = m / 16;
    AesContext context;
    AesSetKey(context, key.get());
    for (size_t k = 0; k < blocks; ++k)
        AesDecryptBlock(context, ciphertext.get() + 16 * k, plaintext.get() + 16 * k);

    const unsigned char* bytes = plaintext.get();
    const size_t units = blocks * 8;
    std::wstring password;
    for (size_t i = 0; i < units; ++i) {
        const wchar_t unit = static_cast<wchar_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        if (unit == 0)
            break;
        password.push_back(unit);
    }
    text.swap(password);
    return true;
}
