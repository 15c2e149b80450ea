#pragma once
// Shared by the two password functions: the key and their heap buffers.
#include <cstddef>

namespace password_internal {

// Seeds the calling thread's C runtime generator with the system's fixed seed
// and draws the 16 key bytes. msvcrt keeps one generator state per thread, so
// concurrent calls cannot interleave their draws.
void BuildPasswordKey(unsigned char key[16]);

// Where the buffers come from; a test may replace both to make an allocation
// fail. The allocator returns null on failure.
extern void* (*allocateBuffer)(size_t bytes);
extern void (*releaseBuffer)(void* buffer);

// A heap buffer released when the scope ends, also by an exception.
class Buffer {
public:
    explicit Buffer(size_t bytes) : data_(static_cast<unsigned char*>(allocateBuffer(bytes == 0 ? 1 : bytes))) {}
    ~Buffer()
    {
        if (data_)
            releaseBuffer(data_);
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    explicit operator bool() const { return data_ != nullptr; }
    unsigned char* get() const { return data_; }

private:
    unsigned char* data_;
};

}  // namespace password_internal
