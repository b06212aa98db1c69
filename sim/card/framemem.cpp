#include "card/framemem.h"

namespace talsim {

FrameMemory::FrameMemory() : slots_(kBuffers) {}

int FrameMemory::index_of(uint16_t fid) {
    if (fid < kFirstFid || (fid - kFirstFid) % kFidStride != 0)
        return -1;
    unsigned i = (fid - kFirstFid) / kFidStride;
    return i < kBuffers ? (int)i : -1;
}

uint16_t FrameMemory::allocate(uint16_t bytes) {
    if (bytes == 0 || bytes > kMaxBytes)
        return 0;
    for (unsigned n = 0; n < kBuffers; ++n) {
        unsigned i = (next_ + n) % kBuffers;
        if (!slots_[i].used) {
            slots_[i].used = true;
            slots_[i].bytes.assign(bytes, 0);
            ++generation_;
            next_ = (i + 1) % kBuffers;
            return (uint16_t)(kFirstFid + i * kFidStride);
        }
    }
    return 0;
}

bool FrameMemory::release(uint16_t fid) {
    int i = index_of(fid);
    if (i < 0 || !slots_[i].used)
        return false;
    slots_[i].used = false; // the bytes keep their room for the next frame
    slots_[i].bytes.clear();
    ++generation_;
    return true;
}

void FrameMemory::release_all() {
    for (Slot &s : slots_)
        s = Slot{};
    next_ = 0;
    ++generation_;
}

std::vector<uint16_t> FrameMemory::fids() const {
    std::vector<uint16_t> out;
    for (unsigned i = 0; i < kBuffers; ++i)
        if (slots_[i].used)
            out.push_back((uint16_t)(kFirstFid + i * kFidStride));
    return out;
}

unsigned FrameMemory::free_count() const {
    unsigned n = 0;
    for (const Slot &s : slots_)
        n += s.used ? 0 : 1;
    return n;
}

const std::vector<uint8_t> *FrameMemory::find(uint16_t fid) const {
    int i = index_of(fid);
    return i >= 0 && slots_[i].used ? &slots_[i].bytes : nullptr;
}

std::vector<uint8_t> *FrameMemory::buffer(uint16_t fid) {
    return const_cast<std::vector<uint8_t> *>(find(fid));
}

} // namespace talsim
