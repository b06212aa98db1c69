// The firmware's record store: one table of every record the firmware knows
// (identifier, name, direction, the lengths it takes) and the records' data
// words. A record image is [RecordLen, RID, data...], RecordLen counting the
// RID word and the data words.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace talsim {

// What the factory gave the card. The MAC address and the channel list are
// programmed into the production data area, from which the firmware takes
// its defaults; the rest the firmware reports about itself. All of it is
// restored on initialize.
struct FactoryData {
    std::array<uint8_t, 6> mac{0x02, 0x00, 0x54, 0x41, 0x4C, 0x01}; // locally administered
    uint16_t channel_list = 0x07FF;                                 // channels 1-11
    uint16_t reg_domain = 0x10;
    // Page, offset, length in bytes (8192: a block of 4096 words fits).
    std::array<uint16_t, 3> download_buffer{0x0100, 0x0000, 0x2000};
    std::array<uint16_t, 4> pri_identity{0x0015, 0x0001, 0x0001,
                                         0x0007}; // id, variant, major, minor
    std::array<uint16_t, 4> sta_identity{0x001F, 0x0001, 0x0001, 0x0005};
    uint16_t wep_available = 1;
};

enum class RecordDir : uint8_t { ReadWrite, ReadOnly, WriteOnly };

struct RecordLayout {
    uint16_t rid;
    const char *name;
    RecordDir dir;
    // RecordLen values the record takes: min, min + step, ..., max.
    uint16_t min_len;
    uint16_t max_len;
    uint16_t step;

    bool takes(uint16_t len) const {
        return len >= min_len && len <= max_len && (len - min_len) % step == 0;
    }
};

class RecordStore {
public:
    explicit RecordStore(const FactoryData &factory = {});

    // The table of every record the firmware knows.
    static std::span<const RecordLayout> table();
    static const RecordLayout *describe(uint16_t rid);

    // Every record back to the firmware's defaults (power-on, initialize).
    void restore_defaults();
    const FactoryData &factory() const { return factory_; }
    // The production data area the defaults come from (pda::Words words).
    const std::vector<uint16_t> &pda() const { return pda_; }

    // ---- As the host reaches them through the access command ----
    // Result code of reading `rid` (0, or BadRecord for an unknown or
    // write-only record).
    uint16_t check_read(uint16_t rid) const;
    // Stores a record image written by the host: refused with BadRecord
    // (unknown, read-only, image RID not `rid`) or BadLength (a RecordLen the
    // record does not take). `image` holds at least RecordLen + 1 words.
    uint16_t host_write(uint16_t rid, std::span<const uint16_t> image);

    // ---- Backend ----
    // The image [RecordLen, RID, data...] as stored; nullopt if unknown.
    std::optional<std::vector<uint16_t>> image(uint16_t rid) const;
    // Data words only; nullptr if unknown.
    const std::vector<uint16_t> *data(uint16_t rid) const;
    // Sets a record's data whatever its direction (live status, tests);
    // false if the record is unknown or the length is one it does not take.
    bool set(uint16_t rid, std::vector<uint16_t> data);
    // One data word, for the firmware's own bookkeeping (0 if absent).
    uint16_t word(uint16_t rid, size_t index) const;
    void set_word(uint16_t rid, size_t index, uint16_t value);

private:
    FactoryData factory_;
    std::vector<uint16_t> pda_;
    std::map<uint16_t, std::vector<uint16_t>> data_;
};

// The production data area as the factory programs it from `factory`
// (layout in cardregs.h, namespace pda).
std::vector<uint16_t> build_pda(const FactoryData &factory);
// The data words of the first record with `code` before the end record;
// nullopt if there is none or the area is malformed.
std::optional<std::vector<uint16_t>> pda_record(std::span<const uint16_t> area, uint16_t code);

// Packs bytes into little-endian words, first byte in the low byte.
std::vector<uint16_t> bytes_to_words(std::span<const uint8_t> bytes);
std::vector<uint8_t> words_to_bytes(std::span<const uint16_t> words);

} // namespace talsim
