// Firmware images for the secondary firmware download, and the requests
// that carry one to the driver.
//
// File format: Motorola S-records, text, one record a line:
//
//   S <type> <count> <address> <data...> <checksum>      (hex digit pairs)
//
// count is the number of bytes after it (address, data, checksum); the
// checksum is the ones' complement of the low byte of the sum of count,
// address and data bytes. Types: S1, S2, S3 carry data at a 16-, 24- or
// 32-bit byte address; S0 (header) is checked and ignored; S5 and S6 give
// the number of data records since the last S0 (checked); S7, S8, S9 end a
// file (checked, start address ignored); S4 is reserved. Blank lines and
// line ends of CR LF are allowed. Files may be concatenated.
//
// The image is the data as blocks: records whose bytes follow one another
// join into one block. Records must not overlap, and every block must start
// and end on an even address, since the card takes 16-bit words (first byte
// in the low byte). Any error is reported as `file:line: what`.
//
// Making an image with ordinary tools, from a raw binary to be loaded at
// 0x00010000 (and a second piece at 0x00100000):
//
//   objcopy -I binary -O srec --srec-forceS3 --change-addresses 0x00010000 a.bin a.srec
//   objcopy -I binary -O srec --srec-forceS3 --change-addresses 0x00100000 b.bin b.srec
//   cat a.srec b.srec > image.srec
//
// The requests: begin; for each block, in address order and cut into pieces
// of at most 4096 words, a header (address, 4 bytes, and word count, 2
// bytes, both most significant byte first) followed by the piece's data;
// end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry.h" // talhost::ParseError

namespace talsim {

inline constexpr size_t kDownloadPieceWords = 4096; // the driver's staging buffer
// S-records take a little over twice the bytes they carry: far more than
// any card's memory.
inline constexpr size_t kMaxImageFileBytes = 16 << 20;

struct FirmwareBlock {
    uint32_t address = 0;       // byte address in the card's download space
    std::vector<uint8_t> bytes; // even in number

    bool operator==(const FirmwareBlock &) const = default;
};

// Blocks in address order; no two touch or overlap.
struct FirmwareImage {
    std::vector<FirmwareBlock> blocks;

    size_t size() const; // bytes in all blocks
};

std::optional<FirmwareImage> parse_srecords(std::string_view text, const std::string &filename,
                                            talhost::ParseError &err);
std::optional<FirmwareImage> load_firmware_image(const std::string &path, talhost::ParseError &err);

// Joins pieces (address -> bytes, none overlapping) whose bytes follow one
// another into blocks.
std::vector<FirmwareBlock> join_pieces(const std::map<uint32_t, std::vector<uint8_t>> &pieces);

enum class DownloadStep : uint8_t { Begin, Header, Data, End };

struct DownloadRequest {
    DownloadStep step;
    std::vector<uint8_t> bytes; // the request's input (none for begin and end)

    bool operator==(const DownloadRequest &) const = default;
};

std::vector<DownloadRequest> download_requests(const FirmwareImage &image);

} // namespace talsim
