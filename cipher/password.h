#pragma once
// The stored form of the share password: AES-128 in ECB mode under a key both
// programs derive from the C runtime's generator, written as upper-case hex.
#include <string>

// Replace the string in place; false (string unchanged) only when a buffer
// cannot be obtained.
bool EncryptPassword(std::wstring& password);
bool DecryptPassword(std::wstring& text);
