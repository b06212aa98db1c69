// An adapter instance's configuration: the values under its Parameters key,
// read from a REGEDIT4 .reg file or built in code.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talhost {

struct RegValue {
    enum class Kind { Dword, String, RawString };
    Kind kind = Kind::Dword;
    uint32_t dword = 0;
    std::u16string str;       // Kind::String
    std::vector<uint8_t> raw; // Kind::RawString: the buffer handed out as is
};

class AdapterConfig {
public:
    void set_dword(std::string_view name, uint32_t value);
    void set_string(std::string_view name, std::string_view utf8);
    void set_string16(std::string_view name, std::u16string value);
    // A string value whose buffer holds 8-bit characters rather than UTF-16,
    // as some configuration writers leave them.
    void set_raw_string(std::string_view name, std::vector<uint8_t> bytes);
    void erase(std::string_view name);

    // Keyword lookup is case-insensitive, as in the registry.
    const RegValue *find(std::string_view name) const;
    // Value names in the order they were first set.
    const std::vector<std::string> &names() const { return order_; }

private:
    static std::string fold(std::string_view s);
    std::map<std::string, RegValue> values_;
    std::map<std::string, std::string> display_;
    std::vector<std::string> order_;
};

// Reads a whole file of at most `limit` bytes into `text`. On failure
// returns false with `why`: the system's reason ("No such file or
// directory", "Is a directory"), or that the file is larger than the limit
// (a device such as /dev/zero too, without reading more than the limit).
bool read_small_file(const std::string &path, size_t limit, std::string &text, std::string &why);

// `s` as a message may quote it: control characters, bytes that are not
// UTF-8 and the C1 controls as \xNN (so nothing read from a file reaches a
// terminal as an escape sequence), cut after `max` characters with "...".
std::string printable(std::string_view s, size_t max = 40);

// What is wrong with a file: at a line (file:line: what), or with the file
// as a whole, line 0 (file: what), such as the system's reason it cannot be
// read. The file name is shown printable().
struct ParseError {
    std::string file;
    int line = 0;
    std::string what;
    std::string message() const {
        std::string name = printable(file, std::string_view::npos);
        return line > 0 ? name + ":" + std::to_string(line) + ": " + what : name + ": " + what;
    }
};

// The largest registry file the reader takes.
inline constexpr size_t kMaxRegFileBytes = 1 << 20;

// Parses REGEDIT4 text. The adapter's values are those of the key whose
// path ends in "\Parameters". On failure returns nothing and fills err;
// text it quotes is printable() text.
std::optional<AdapterConfig> parse_reg(std::string_view text, const std::string &filename,
                                       ParseError &err);
std::optional<AdapterConfig> load_reg_file(const std::string &path, ParseError &err);

// UTF-8 <-> UTF-16 helpers shared by the host.
bool utf8_to_utf16(std::string_view in, std::u16string &out);
std::string utf16_to_utf8(std::u16string_view in);

} // namespace talhost
