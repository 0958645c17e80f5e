#include "guarded.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace conv_ta_reference {

namespace {
[[noreturn]] void fail(const char* what) {
    std::perror(what);
    std::abort();
}
} // namespace

GuardedBuffer::GuardedBuffer(std::size_t count, Flush flush) : count_(count) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t bytes = count * sizeof(std::int32_t);
    usable_size_ = (bytes + page - 1) / page * page;
    mapping_size_ = usable_size_ + 2 * page;
    void* m =
        mmap(nullptr, mapping_size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED)
        fail("mmap");
    mapping_ = static_cast<std::byte*>(m);
    usable_ = mapping_ + page;
    if (usable_size_ > 0 && mprotect(usable_, usable_size_, PROT_READ | PROT_WRITE) != 0)
        fail("mprotect");
    std::byte* start = flush == Flush::Start ? usable_ : usable_ + usable_size_ - bytes;
    data_ = reinterpret_cast<std::int32_t*>(start);
}

GuardedBuffer::~GuardedBuffer() {
    munmap(mapping_, mapping_size_);
}

void GuardedBuffer::forbid_access() {
    if (usable_size_ > 0 && mprotect(usable_, usable_size_, PROT_NONE) != 0)
        fail("mprotect");
}

void GuardedBuffer::forbid_writes() {
    if (usable_size_ > 0 && mprotect(usable_, usable_size_, PROT_READ) != 0)
        fail("mprotect");
}

} // namespace conv_ta_reference
