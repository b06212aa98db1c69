// The MAC's frame buffer memory: a fixed pool of buffers named by FIDs.
// The allocate command takes one for the host's transmit frames; later the
// receive and information paths take theirs from the same pool.
#pragma once

#include <cstdint>
#include <vector>

namespace talsim {

class FrameMemory {
public:
    static constexpr unsigned kBuffers = 32;
    static constexpr uint16_t kMaxBytes = 2400;   // largest buffer the firmware hands out
    static constexpr uint16_t kFirstFid = 0x0200; // FIDs never overlap record identifiers
    static constexpr uint16_t kFidStride = 0x0100;

    FrameMemory();

    // A zero-filled buffer of `bytes` bytes; 0 when none is free or the size
    // is 0 or above kMaxBytes. Buffers are handed out round robin, so a FID
    // that was released is not the next one given.
    uint16_t allocate(uint16_t bytes);
    bool release(uint16_t fid);
    void release_all();

    bool allocated(uint16_t fid) const { return find(fid) != nullptr; }
    std::vector<uint16_t> fids() const; // allocated FIDs, ascending
    unsigned free_count() const;

    // The bytes of an allocated buffer; nullptr if `fid` is not allocated.
    std::vector<uint8_t> *buffer(uint16_t fid);
    // Changes whenever a buffer is allocated or released: a pointer into a
    // buffer taken at one generation is good while the generation holds.
    uint64_t generation() const { return generation_; }
    const std::vector<uint8_t> *buffer(uint16_t fid) const { return find(fid); }

private:
    struct Slot {
        bool used = false;
        std::vector<uint8_t> bytes;
    };
    const std::vector<uint8_t> *find(uint16_t fid) const;
    static int index_of(uint16_t fid);

    std::vector<Slot> slots_;
    unsigned next_ = 0;
    uint64_t generation_ = 0;
};

} // namespace talsim
