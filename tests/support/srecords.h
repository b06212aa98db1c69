// Writes Motorola S-records for tests of the firmware image reader: one
// line with its byte count and checksum.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace taltest {

// A record of `type` ('0' to '9') with an address of `address_bytes` bytes.
inline std::string srecord(char type, int address_bytes, uint32_t address,
                           const std::vector<uint8_t> &data) {
    std::vector<uint8_t> b;
    b.push_back((uint8_t)(address_bytes + data.size() + 1));
    for (int i = address_bytes - 1; i >= 0; --i)
        b.push_back((uint8_t)(address >> (8 * i)));
    b.insert(b.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t x : b)
        sum += x;
    b.push_back((uint8_t)~sum);
    std::string line = std::string("S") + type;
    char hex[3];
    for (uint8_t x : b) {
        std::snprintf(hex, sizeof hex, "%02X", x);
        line += hex;
    }
    return line + "\n";
}

// S3 data records of at most 32 bytes each covering `data` at `address`.
inline std::string s3_records(uint32_t address, const std::vector<uint8_t> &data) {
    std::string out;
    for (size_t off = 0; off < data.size(); off += 32) {
        size_t n = data.size() - off < 32 ? data.size() - off : 32;
        out +=
            srecord('3', 4, address + (uint32_t)off,
                    std::vector<uint8_t>(data.begin() + (long)off, data.begin() + (long)(off + n)));
    }
    return out;
}

} // namespace taltest
