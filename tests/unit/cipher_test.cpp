#include <doctest/doctest.h>

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "aes.h"
#include "password.h"
#include "password_internal.h"

namespace {

std::vector<unsigned char> FromHex(const char* hex)
{
    std::vector<unsigned char> bytes;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        bytes.push_back(static_cast<unsigned char>(std::strtoul(std::string(hex + i, 2).c_str(), nullptr, 16)));
    return bytes;
}

std::vector<unsigned char> Block(const unsigned char* bytes)
{
    return std::vector<unsigned char>(bytes, bytes + 16);
}

// Small deterministic generator for test data, independent of the C runtime's.
struct TestRandom {
    uint32_t state;
    uint32_t Next()
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    void Fill(unsigned char* bytes, size_t count)
    {
        for (size_t i = 0; i < count; ++i)
            bytes[i] = static_cast<unsigned char>(Next() >> 24);
    }
};

std::wstring Encrypted(std::wstring password)
{
    REQUIRE(EncryptPassword(password));
    return password;
}

std::wstring Decrypted(std::wstring text)
{
    REQUIRE(DecryptPassword(text));
    return text;
}

}  // namespace

TEST_CASE("AES-128 gives the published results in both directions")
{
    struct Vector {
        const char* key;
        const char* plaintext;
        const char* ciphertext;
    };
    const Vector vectors[] = {
        {"000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734", "3925841d02dc09fbdc118597196a0b32"},
    };
    for (const Vector& v : vectors) {
        CAPTURE(v.key);
        AesContext context;
        AesSetKey(context, FromHex(v.key).data());
        const std::vector<unsigned char> plaintext = FromHex(v.plaintext);
        const std::vector<unsigned char> ciphertext = FromHex(v.ciphertext);
        unsigned char out[16];
        AesEncryptBlock(context, plaintext.data(), out);
        CHECK(Block(out) == ciphertext);
        AesDecryptBlock(context, ciphertext.data(), out);
        CHECK(Block(out) == plaintext);
    }
}

TEST_CASE("the round keys of both directions are laid out as little-endian words")
{
    AesContext context;
    std::memset(&context, 0xCC, sizeof context);
    AesSetKey(context, FromHex("000102030405060708090a0b0c0d0e0f").data());
    CHECK(context.keyLength == 4);
    CHECK(context.mode == 3);
    const uint32_t keyWords[4] = {0x03020100, 0x07060504, 0x0B0A0908, 0x0F0E0D0C};
    for (int i = 0; i < 4; ++i) {
        CAPTURE(i);
        CHECK(context.encryptionKeys[i] == keyWords[i]);
        CHECK(context.decryptionKeys[i] == context.encryptionKeys[i]);
        CHECK(context.decryptionKeys[40 + i] == context.encryptionKeys[40 + i]);
    }

    // The published expansion of 2b7e1516...: w[4] = a0fafe17, w[43] = b6630ca6.
    AesSetKey(context, FromHex("2b7e151628aed2a6abf7158809cf4f3c").data());
    CHECK(context.encryptionKeys[4] == 0x17FEFAA0u);
    CHECK(context.encryptionKeys[43] == 0xA60C63B6u);
}

TEST_CASE("one context serves many blocks, also in place")
{
    TestRandom random{0x12345678};
    for (int round = 0; round < 4; ++round) {
        unsigned char key[16];
        random.Fill(key, sizeof key);
        AesContext context;
        AesSetKey(context, key);
        for (int i = 0; i < 2000; ++i) {
            unsigned char block[16], encrypted[16], decrypted[16];
            random.Fill(block, sizeof block);
            AesEncryptBlock(context, block, encrypted);
            AesDecryptBlock(context, encrypted, decrypted);
            if (Block(decrypted) != Block(block) || Block(encrypted) == Block(block)) {
                FAIL("block " << i << " of key " << round << " did not come back");
            }

            unsigned char inPlace[16];
            std::memcpy(inPlace, block, 16);
            AesEncryptBlock(context, inPlace, inPlace);
            if (Block(inPlace) != Block(encrypted))
                FAIL("in-place encryption differs at block " << i);
            AesDecryptBlock(context, inPlace, inPlace);
            if (Block(inPlace) != Block(block))
                FAIL("in-place decryption differs at block " << i);
        }
    }
}

// Fixed texts: a password stored by the control centre must stay readable by
// the service and by later builds, so the key and the format may never change.
TEST_CASE("passwords encrypt to the stored texts and back")
{
    struct Case {
        std::wstring password;
        std::wstring text;
    };
    const Case cases[] = {
        {L"", L""},
        {L"Pa55", L"CCA7CDB5406F151138235EA59385231A"},
        {L"secret", L"0DC8519957AEEA70CC9964124EF4345B52C49F2A6B86B84C2B62643C7E5E6CA6"},
        {L"\u00e9\u20ac\U0001F600", L"888AC2766669EFBDAB632ABDE208531C"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.text);
        CHECK(Encrypted(c.password) == c.text);
        CHECK(Decrypted(c.text) == c.password);
    }
}

TEST_CASE("encrypted texts are whole blocks of capital hexadecimal digits")
{
    const std::pair<size_t, size_t> lengths[] = {{0, 0},  {1, 32},  {2, 32},  {3, 32},  {4, 32},
                                                 {5, 64}, {6, 64},  {7, 64},  {8, 64},  {9, 96},
                                                 {10, 96}, {11, 96}, {12, 96}, {13, 128}};
    std::wstring zeroBlockTail;
    for (const auto& [n, expected] : lengths) {
        CAPTURE(n);
        std::wstring password;
        for (size_t i = 0; i < n; ++i)
            password.push_back(static_cast<wchar_t>(L'a' + i));
        const std::wstring text = Encrypted(password);
        CHECK(text.size() == expected);
        CHECK(text.find_first_not_of(L"0123456789ABCDEF") == std::wstring::npos);
        // From 5 characters on the last block holds only zero bytes.
        if (n >= 5) {
            if (zeroBlockTail.empty())
                zeroBlockTail = text.substr(text.size() - 32);
            CHECK(text.substr(text.size() - 32) == zeroBlockTail);
        }
    }
}

TEST_CASE("the key does not depend on earlier use of the generator")
{
    const std::wstring first = Encrypted(L"same password");
    srand(12345);
    rand();
    const std::wstring second = Encrypted(L"same password");
    CHECK(first == second);
    srand(1);
    CHECK(Decrypted(second) == L"same password");
}

TEST_CASE("passwords without a zero code unit come back unchanged")
{
    std::wstring longPassword;
    for (int i = 0; i < 300; ++i)
        longPassword.push_back(static_cast<wchar_t>(0x20 + (i * 7) % 0x5F));
    const std::wstring passwords[] = {
        L"x",
        L"abcd",
        L"abcde",
        L" spaces and \"quotes\"\t",
        L"\u00c4rger \u00fcber \u00df",      // Latin-1 range
        L"\u4e2d\u6587\u5bc6\u7801",         // CJK
        L"\U0001F510\U0001F511",             // surrogate pairs
        L"\xD800 lone \xDFFF surrogates",    // kept as code units
        L"\xFFFF\x0100\x00FF\x0001",         // units whose bytes are FF or 00
        longPassword,
    };
    for (size_t i = 0; i < sizeof passwords / sizeof passwords[0]; ++i) {
        const std::wstring& password = passwords[i];
        CAPTURE(i);
        CHECK(Decrypted(Encrypted(password)) == password);
    }
}

TEST_CASE("decoding takes the low 8 bits of a character and rejects none")
{
    const std::wstring stored = L"0DC8519957AEEA70CC9964124EF4345B52C49F2A6B86B84C2B62643C7E5E6CA6";
    struct Variant {
        const char* name;
        wchar_t (*map)(wchar_t);
    };
    const Variant variants[] = {
        {"small letters", [](wchar_t c) { return c >= L'A' && c <= L'F' ? wchar_t(c + 32) : c; }},
        {"high byte set", [](wchar_t c) { return wchar_t(c | 0xAB00); }},
        {"A-F as the six characters after 9, by c - 48",
         [](wchar_t c) { return c >= L'A' && c <= L'F' ? wchar_t(c - 7) : c; }},
    };
    for (const Variant& v : variants) {
        CAPTURE(v.name);
        std::wstring text = stored;
        for (wchar_t& c : text)
            c = v.map(c);
        CHECK(Decrypted(text) == L"secret");
    }

    std::wstring garbage(64, L'Z');
    garbage[5] = L'\0';
    CHECK(DecryptPassword(garbage));
}

TEST_CASE("only whole blocks of a text are decrypted")
{
    // "0123456789": three blocks, the first holding "01234567".
    const std::wstring text = Encrypted(L"0123456789");
    REQUIRE(text.size() == 96);
    const std::pair<size_t, const wchar_t*> cases[] = {
        {1, L""},          {2, L""},          {30, L""},         {31, L""},
        {32, L"01234567"}, {33, L"01234567"}, {34, L"01234567"}, {62, L"01234567"},
        {63, L"01234567"}, {64, L"0123456789"}, {65, L"0123456789"}, {95, L"0123456789"},
    };
    for (const auto& [length, password] : cases) {
        CAPTURE(length);
        CHECK(Decrypted(text.substr(0, length)) == password);
    }
    CHECK(Decrypted(text + L"F") == L"0123456789");
    CHECK(Decrypted(text + L"Z") == L"0123456789");
}

namespace {

// Counts live buffers and fails the chosen allocation (1-based; 0: none).
struct AllocationScope {
    static int calls;
    static int failAt;
    static int live;
    void* (*savedAllocate)(size_t);
    void (*savedRelease)(void*);

    explicit AllocationScope(int fail)
        : savedAllocate(password_internal::allocateBuffer), savedRelease(password_internal::releaseBuffer)
    {
        calls = 0;
        failAt = fail;
        live = 0;
        password_internal::allocateBuffer = [](size_t bytes) -> void* {
            if (++calls == failAt)
                return nullptr;
            ++live;
            return std::malloc(bytes);
        };
        password_internal::releaseBuffer = [](void* buffer) {
            --live;
            std::free(buffer);
        };
    }
    ~AllocationScope()
    {
        password_internal::allocateBuffer = savedAllocate;
        password_internal::releaseBuffer = savedRelease;
    }
};
int AllocationScope::calls = 0;
int AllocationScope::failAt = 0;
int AllocationScope::live = 0;

}  // namespace

TEST_CASE("a buffer that cannot be obtained leaves the string unchanged and nothing held")
{
    struct Direction {
        const char* name;
        bool (*call)(std::wstring&);
        std::wstring input;
        std::wstring output;
    };
    const Direction directions[] = {
        {"encrypt", EncryptPassword, L"Pa55", L"CCA7CDB5406F151138235EA59385231A"},
        {"decrypt", DecryptPassword, L"CCA7CDB5406F151138235EA59385231A", L"Pa55"},
    };
    for (const Direction& d : directions) {
        for (int failAt = 0; failAt <= 3; ++failAt) {
            CAPTURE(d.name);
            CAPTURE(failAt);
            std::wstring value = d.input;
            bool result;
            {
                AllocationScope scope(failAt);
                result = d.call(value);
                CHECK(AllocationScope::live == 0);
            }
            CHECK(result == (failAt == 0));
            CHECK(value == (failAt == 0 ? d.output : d.input));
        }
    }
}

namespace {

struct Worker {
    volatile LONG* ready;
    std::wstring password;
    std::wstring expected;
    bool encrypt;
    int mismatches = 0;
    int calls = 0;
};

const int threadCalls = 20000;

DWORD WINAPI PasswordCallsInLoop(LPVOID parameter)
{
    Worker& w = *static_cast<Worker*>(parameter);
    // Start together, so the calls of both threads really overlap.
    InterlockedIncrement(w.ready);
    const DWORD started = GetTickCount();
    while (*w.ready < 2 && GetTickCount() - started < 30000)
        Sleep(0);
    for (int i = 0; i < threadCalls; ++i) {
        std::wstring value = w.encrypt ? w.password : w.expected;
        if (w.encrypt && (!EncryptPassword(value) || value != w.expected))
            ++w.mismatches;
        if (!DecryptPassword(value) || value != w.password)
            ++w.mismatches;
        ++w.calls;
    }
    return 0;
}

}  // namespace

// The service decrypts from two threads at once; the control centre encrypts.
TEST_CASE("threads building the key at the same time all get the same key")
{
    volatile LONG ready = 0;
    Worker workers[2];
    workers[0].password = L"first thread";
    workers[0].encrypt = true;
    workers[1].password = L"pw";  // one block: the key build is much of each call
    workers[1].encrypt = false;
    for (Worker& w : workers) {
        w.ready = &ready;
        w.expected = Encrypted(w.password);
    }
    HANDLE threads[2];
    for (int i = 0; i < 2; ++i) {
        threads[i] = CreateThread(nullptr, 0, PasswordCallsInLoop, &workers[i], 0, nullptr);
        REQUIRE(threads[i] != nullptr);
    }
    const DWORD waited = WaitForMultipleObjects(2, threads, TRUE, 120000);
    CHECK(waited == WAIT_OBJECT_0);
    for (HANDLE thread : threads) {
        if (waited != WAIT_OBJECT_0)
            TerminateThread(thread, 1);
        CloseHandle(thread);
    }
    for (const Worker& w : workers) {
        CAPTURE(&w - workers);
        CHECK(w.calls == threadCalls);
        CHECK(w.mismatches == 0);
    }
}

namespace {

DWORD WINAPI EncryptOnce(LPVOID parameter)
{
    std::wstring& value = *static_cast<std::wstring*>(parameter);
    if (!EncryptPassword(value))
        value = L"failed";
    return 0;
}

}  // namespace

// The worst interleaving, made on purpose: a key built by one thread while
// another thread is halfway through its own draws. This holds only because the
// runtime keeps one generator state per thread; with a shared state the
// paused thread's draws would restart from the other thread's seed.
TEST_CASE("a key built in another thread leaves this thread's draws alone")
{
    uint32_t state = 1;
    auto published = [&state] {
        state = state * 214013u + 2531011u;
        return int((state >> 16) & 0x7FFF);
    };

    srand(1);
    for (int i = 0; i < 8; ++i)
        REQUIRE(rand() == published());

    std::wstring value = L"Pa55";
    HANDLE thread = CreateThread(nullptr, 0, EncryptOnce, &value, 0, nullptr);
    REQUIRE(thread != nullptr);
    const DWORD waited = WaitForSingleObject(thread, 30000);
    if (waited != WAIT_OBJECT_0)
        TerminateThread(thread, 1);
    CloseHandle(thread);
    REQUIRE(waited == WAIT_OBJECT_0);
    CHECK(value == L"CCA7CDB5406F151138235EA59385231A");

    for (int i = 8; i < 16; ++i) {
        CAPTURE(i);
        CHECK(rand() == published());
    }
}
