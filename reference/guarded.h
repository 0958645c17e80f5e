// Buffers of int32 elements with inaccessible pages on both sides, so that
// any read or write outside the elements faults at once.
#ifndef CONV_TA_REFERENCE_GUARDED_H
#define CONV_TA_REFERENCE_GUARDED_H

#include <cstddef>
#include <cstdint>
#include <span>

namespace conv_ta_reference {

// Which end of the elements touches a guard page directly. The other end is
// separated from its guard page by the rest of the last page.
enum class Flush { Start, End };

class GuardedBuffer {
  public:
    GuardedBuffer(std::size_t count, Flush flush);
    ~GuardedBuffer();
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    std::int32_t* data() { return data_; }
    std::span<std::int32_t> elements() { return {data_, count_}; }

    // Makes the elements themselves inaccessible too, for calls that must not
    // touch them at all.
    void forbid_access();

    // Makes the elements read-only, for buffers a call may read but must
    // never write.
    void forbid_writes();

  private:
    std::byte* mapping_ = nullptr;
    std::size_t mapping_size_ = 0;
    std::byte* usable_ = nullptr;
    std::size_t usable_size_ = 0;
    std::int32_t* data_ = nullptr;
    std::size_t count_ = 0;
};

} // namespace conv_ta_reference

#endif
