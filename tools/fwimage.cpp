#include "fwimage.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace talsim {

namespace {

constexpr uint64_t kAddressSpace = 1ull << 32;

struct DataRecord {
    uint32_t address;
    std::vector<uint8_t> bytes;
    int line;

    uint64_t end() const { return (uint64_t)address + bytes.size(); }
};

// Address bytes of a record type; -1 for a type that does not exist (S4
// is reserved and has none).
int address_bytes(char type) {
    switch (type) {
    case '0':
    case '1':
    case '5':
    case '9':
        return 2;
    case '2':
    case '6':
    case '8':
        return 3;
    case '3':
    case '7':
        return 4;
    default:
        return -1;
    }
}

bool hex_pairs(std::string_view digits, std::vector<uint8_t> &out) {
    if (digits.size() % 2)
        return false;
    for (size_t i = 0; i < digits.size(); i += 2) {
        unsigned v = 0;
        const char *first = digits.data() + i;
        auto [p, ec] = std::from_chars(first, first + 2, v, 16);
        if (ec != std::errc() || p != first + 2)
            return false;
        out.push_back((uint8_t)v);
    }
    return true;
}

std::string hex(uint64_t v, int digits) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%0*llX", digits, (unsigned long long)v);
    return buf;
}

} // namespace

size_t FirmwareImage::size() const {
    size_t n = 0;
    for (const FirmwareBlock &b : blocks)
        n += b.bytes.size();
    return n;
}

std::optional<FirmwareImage> parse_srecords(std::string_view text, const std::string &filename,
                                            talhost::ParseError &err) {
    auto fail = [&](int line, std::string what) -> std::optional<FirmwareImage> {
        err = talhost::ParseError{filename, line, std::move(what)};
        return std::nullopt;
    };

    std::vector<DataRecord> records;
    size_t since_header = 0; // data records since the last S0
    int line_no = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t nl = text.find('\n', pos);
        std::string_view line = text.substr(pos, nl == std::string_view::npos ? nl : nl - pos);
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        ++line_no;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.remove_suffix(1);
        if (line.empty())
            continue;
        if (line.size() < 2 || line[0] != 'S')
            return fail(line_no, "not an S-record (S and a type digit first)");
        char type = line[1];
        int abytes = address_bytes(type);
        if (abytes < 0)
            return fail(line_no, std::string("no record type S") + type);
        std::vector<uint8_t> b;
        if (!hex_pairs(line.substr(2), b) || b.empty())
            return fail(line_no, "pairs of hexadecimal digits must follow the type");
        if (b[0] != b.size() - 1)
            return fail(line_no, "the byte count says " + std::to_string(b[0]) +
                                     ", the record has " + std::to_string(b.size() - 1));
        if (b.size() < (size_t)abytes + 2)
            return fail(line_no, "too short for the address of an S" + std::string(1, type));
        unsigned sum = 0;
        for (size_t i = 0; i + 1 < b.size(); ++i)
            sum += b[i];
        uint8_t want = (uint8_t)~sum;
        if (b.back() != want)
            return fail(line_no,
                        "checksum is " + hex(b.back(), 2) + ", the bytes give " + hex(want, 2));
        uint32_t address = 0;
        for (int i = 0; i < abytes; ++i)
            address = (address << 8) | b[1 + i];
        std::vector<uint8_t> data(b.begin() + 1 + abytes, b.end() - 1);

        switch (type) {
        case '0':
            since_header = 0;
            break;
        case '1':
        case '2':
        case '3':
            ++since_header;
            if ((uint64_t)address + data.size() > kAddressSpace)
                return fail(line_no, "data run past the 32-bit address space");
            if (!data.empty())
                records.push_back(DataRecord{address, std::move(data), line_no});
            break;
        case '5':
        case '6':
            if (address != since_header)
                return fail(line_no, "the record count says " + std::to_string(address) + ", " +
                                         std::to_string(since_header) +
                                         " data records came before");
            break;
        default: // S7-S9: end of a file
            break;
        }
    }
    if (records.empty())
        return fail(line_no, "no data records");

    std::stable_sort(records.begin(), records.end(), [](const DataRecord &a, const DataRecord &b) {
        return a.address < b.address;
    });
    std::map<uint32_t, std::vector<uint8_t>> pieces;
    for (size_t i = 0; i < records.size(); ++i) {
        const DataRecord &r = records[i];
        const DataRecord *prev = i ? &records[i - 1] : nullptr;
        const DataRecord *next = i + 1 < records.size() ? &records[i + 1] : nullptr;
        if (prev && r.address < prev->end())
            return fail(r.line, "overlaps the data of line " + std::to_string(prev->line));
        if ((!prev || prev->end() != r.address) && (r.address & 1))
            return fail(r.line, "a block starts at the odd address " + hex(r.address, 8) +
                                    " (the card takes 16-bit words)");
        if ((!next || r.end() != next->address) && (r.end() & 1))
            return fail(r.line, "a block ends at the odd address " + hex(r.end(), 8) +
                                    " (the card takes 16-bit words)");
        pieces[r.address] = r.bytes;
    }
    return FirmwareImage{join_pieces(pieces)};
}

std::optional<FirmwareImage> load_firmware_image(const std::string &path,
                                                 talhost::ParseError &err) {
    std::string text, why;
    if (!talhost::read_small_file(path, kMaxImageFileBytes, text, why)) {
        err = talhost::ParseError{path, 0, why};
        return std::nullopt;
    }
    return parse_srecords(text, path, err);
}

std::vector<FirmwareBlock> join_pieces(const std::map<uint32_t, std::vector<uint8_t>> &pieces) {
    std::vector<FirmwareBlock> blocks;
    for (const auto &[address, bytes] : pieces) {
        if (!blocks.empty() &&
            (uint64_t)blocks.back().address + blocks.back().bytes.size() == address) {
            std::vector<uint8_t> &to = blocks.back().bytes;
            to.insert(to.end(), bytes.begin(), bytes.end());
        } else {
            blocks.push_back(FirmwareBlock{address, bytes});
        }
    }
    return blocks;
}

std::vector<DownloadRequest> download_requests(const FirmwareImage &image) {
    constexpr size_t kPieceBytes = kDownloadPieceWords * 2;
    std::vector<DownloadRequest> out;
    out.push_back(DownloadRequest{DownloadStep::Begin, {}});
    for (const FirmwareBlock &block : image.blocks) {
        for (size_t off = 0; off < block.bytes.size(); off += kPieceBytes) {
            size_t n = std::min(kPieceBytes, block.bytes.size() - off);
            uint32_t address = block.address + (uint32_t)off;
            uint16_t words = (uint16_t)(n / 2);
            out.push_back(DownloadRequest{DownloadStep::Header,
                                          {(uint8_t)(address >> 24), (uint8_t)(address >> 16),
                                           (uint8_t)(address >> 8), (uint8_t)address,
                                           (uint8_t)(words >> 8), (uint8_t)words}});
            auto first = block.bytes.begin() + (long)off;
            out.push_back(DownloadRequest{DownloadStep::Data, {first, first + (long)n}});
        }
    }
    out.push_back(DownloadRequest{DownloadStep::End, {}});
    return out;
}

} // namespace talsim
