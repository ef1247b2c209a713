#include "app/status.h"

#include <cstring>

StatusRecord g_status;

void status_clear()
{
    // The record holds only atomic words, bytes and handles, all of which are
    // valid when every byte is zero.
    memset(static_cast<void *>(&g_status), 0, sizeof g_status);
}

unsigned char status_load_byte(const unsigned char *p)
{
    return std::atomic_ref<unsigned char>(*const_cast<unsigned char *>(p)).load(std::memory_order_relaxed);
}

void status_store_byte(unsigned char *p, unsigned char v)
{
    std::atomic_ref<unsigned char>(*p).store(v, std::memory_order_relaxed);
}

void status_copy_text(char *dst, size_t size, const char *src, size_t src_size)
{
    if (size == 0)
        return;
    size_t i = 0;
    for (; i + 1 < size && i < src_size; ++i) {
        char c = std::atomic_ref<char>(*const_cast<char *>(src + i)).load(std::memory_order_relaxed);
        if (c == '\0')
            break;
        dst[i] = c;
    }
    dst[i] = '\0';
}

void status_store_text(char *dst, size_t dst_size, const char *src)
{
    if (dst_size == 0)
        return;
    size_t i = 0;
    for (; i + 1 < dst_size && src[i] != '\0'; ++i)
        std::atomic_ref<char>(dst[i]).store(src[i], std::memory_order_relaxed);
    std::atomic_ref<char>(dst[i]).store('\0', std::memory_order_relaxed);
}
