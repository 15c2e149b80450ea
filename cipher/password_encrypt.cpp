// EncryptPassword; only the control centre needs it.
#include "password.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

#include "aes.h"
#include "password_internal.h"

bool EncryptPassword(std::wstring& password)
{
    using password_internal::Buffer;

    const size_t n = password.size();
    if (n > (SIZE_MAX - 15) / 4)
        return false;  // no buffer of that size can exist
    // 4 bytes per code unit, in whole blocks: room for the text and its terminator.
    const size_t length = (4 * n + 15) & ~size_t(15);

    Buffer key(16);
    if (!key)
        return false;
    Buffer ciphertext(length);
    if (!ciphertext)
        return false;
    Buffer plaintext(length);
    if (!plaintext)
        return false;

    password_internal::BuildPasswordKey(key.get());

    unsigned char* bytes = plaintext.get();
    std::memset(bytes, 0, length);
    for (size_t i = 0; i < n; ++i) {
        const unsigned int unit = static_cast<unsigned int>(password[i]) & 0xFFFF;
        bytes[2 * i] = static_cast<unsigned char>(unit);
        bytes[2 * i + 1] = static_cast<unsigned char>(unit >> 8);
    }

    AesContext context;
    AesSetKey(context, key.get());
    for (size_t k = 0; k < length / 16; ++k)
        AesEncryptBlock(context, plaintext.get() + 16 * k, ciphertext.get() + 16 * k);

    // Built aside and swapped in, so the password stays as it was if this throws.
    std::wstring text;
    text.reserve(2 * length);
    wchar_t digits[256];
    for (size_t i = 0; i < length; ++i) {
        wsprintfW(digits, L"%02X", static_cast<unsigned int>(ciphertext.get()[i]));
        text.append(digits, 2);
    }
    password.swap(text);
    return true;
}
