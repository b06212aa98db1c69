#include "registry.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace talhost {

std::string AdapterConfig::fold(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        c = (char)std::tolower((unsigned char)c);
    return out;
}

static void remember(std::map<std::string, RegValue> &values, std::vector<std::string> &order,
                     const std::string &key, std::string_view name, RegValue v) {
    if (!values.count(key))
        order.emplace_back(name);
    values[key] = std::move(v);
}

void AdapterConfig::set_dword(std::string_view name, uint32_t value) {
    RegValue v;
    v.kind = RegValue::Kind::Dword;
    v.dword = value;
    remember(values_, order_, fold(name), name, std::move(v));
}

void AdapterConfig::set_string(std::string_view name, std::string_view utf8) {
    std::u16string s;
    if (!utf8_to_utf16(utf8, s))
        s.assign(utf8.begin(), utf8.end());
    set_string16(name, std::move(s));
}

void AdapterConfig::set_string16(std::string_view name, std::u16string value) {
    RegValue v;
    v.kind = RegValue::Kind::String;
    v.str = std::move(value);
    remember(values_, order_, fold(name), name, std::move(v));
}

void AdapterConfig::set_raw_string(std::string_view name, std::vector<uint8_t> bytes) {
    RegValue v;
    v.kind = RegValue::Kind::RawString;
    v.raw = std::move(bytes);
    remember(values_, order_, fold(name), name, std::move(v));
}

void AdapterConfig::erase(std::string_view name) {
    std::string key = fold(name);
    if (!values_.erase(key))
        return;
    for (auto it = order_.begin(); it != order_.end(); ++it)
        if (fold(*it) == key) {
            order_.erase(it);
            break;
        }
}

const RegValue *AdapterConfig::find(std::string_view name) const {
    auto it = values_.find(fold(name));
    return it == values_.end() ? nullptr : &it->second;
}

bool utf8_to_utf16(std::string_view in, std::u16string &out) {
    out.clear();
    for (size_t i = 0; i < in.size();) {
        unsigned char c = (unsigned char)in[i];
        uint32_t cp;
        size_t n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            n = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            n = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            n = 4;
        } else {
            return false;
        }
        if (i + n > in.size())
            return false;
        for (size_t k = 1; k < n; k++) {
            unsigned char cc = (unsigned char)in[i + k];
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back((char16_t)(0xD800 + (cp >> 10)));
            out.push_back((char16_t)(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back((char16_t)cp);
        }
        i += n;
    }
    return true;
}

std::string utf16_to_utf8(std::u16string_view in) {
    std::string out;
    for (size_t i = 0; i < in.size(); i++) {
        uint32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 &&
            in[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            i++;
        }
        if (cp < 0x80) {
            out.push_back((char)cp);
        } else if (cp < 0x800) {
            out.push_back((char)(0xC0 | (cp >> 6)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back((char)(0xE0 | (cp >> 12)));
            out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        } else {
            out.push_back((char)(0xF0 | (cp >> 18)));
            out.push_back((char)(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back((char)(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back((char)(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::string printable(std::string_view s, size_t max) {
    std::string out;
    size_t shown = 0;
    for (size_t i = 0; i < s.size(); shown++) {
        if (shown == max)
            return out + "...";
        unsigned char c = (unsigned char)s[i];
        // The length of a well-formed UTF-8 sequence at i, 0 if none.
        size_t n = c < 0x80             ? 1
                   : (c & 0xE0) == 0xC0 ? 2
                   : (c & 0xF0) == 0xE0 ? 3
                   : (c & 0xF8) == 0xF0 ? 4
                                        : 0;
        std::u16string unit;
        if (n > 1 && (i + n > s.size() || !utf8_to_utf16(s.substr(i, n), unit)))
            n = 0;
        uint32_t cp = n == 1 ? c : n ? (unit.size() == 1 ? unit[0] : 0x10000) : 0;
        if (n == 0 || cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
            i++;
            continue;
        }
        out.append(s.substr(i, n));
        i += n;
    }
    return out;
}

namespace {

std::string size_text(size_t bytes) {
    if (bytes % (1 << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    if (bytes % 1024 == 0)
        return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

} // namespace

bool read_small_file(const std::string &path, size_t limit, std::string &text, std::string &why) {
    text.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    // Never more than the limit and one byte: a device may not end. A
    // directory opens and fails its first read (EISDIR).
    char buf[16384];
    for (;;) {
        size_t want = std::min(sizeof buf, limit + 1 - text.size());
        ssize_t got = ::read(fd, buf, want);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            why = std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (got == 0)
            break;
        text.append(buf, (size_t)got);
        if (text.size() > limit) {
            ::close(fd);
            text.clear();
            why = "larger than " + size_text(limit) + "; not read";
            return false;
        }
    }
    ::close(fd);
    return true;
}

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool ends_with_nocase(std::string_view s, std::string_view suffix) {
    if (s.size() < suffix.size())
        return false;
    for (size_t i = 0; i < suffix.size(); i++)
        if (std::tolower((unsigned char)s[s.size() - suffix.size() + i]) !=
            std::tolower((unsigned char)suffix[i]))
            return false;
    return true;
}

// Reads a quoted string starting at s[0] == '"'; handles \\ and \".
// Returns the index after the closing quote, or npos.
size_t read_quoted(std::string_view s, std::string &out, std::string &what) {
    out.clear();
    for (size_t i = 1; i < s.size(); i++) {
        char c = s[i];
        if (c == '"')
            return i + 1;
        if (c == '\\') {
            if (i + 1 >= s.size()) {
                what = "unterminated escape in string";
                return std::string_view::npos;
            }
            char e = s[++i];
            if (e != '\\' && e != '"') {
                what = "unknown escape \\" + printable(std::string_view(&e, 1)) + " in string";
                return std::string_view::npos;
            }
            out.push_back(e);
            continue;
        }
        out.push_back(c);
    }
    what = "missing closing quote";
    return std::string_view::npos;
}

} // namespace

std::optional<AdapterConfig> parse_reg(std::string_view text, const std::string &filename,
                                       ParseError &err) {
    err = ParseError{filename, 0, ""};
    auto fail = [&](int line, std::string what) -> std::optional<AdapterConfig> {
        err.line = line;
        err.what = std::move(what);
        return std::nullopt;
    };

    if (text.size() >= 3 && (unsigned char)text[0] == 0xEF && (unsigned char)text[1] == 0xBB &&
        (unsigned char)text[2] == 0xBF)
        text.remove_prefix(3);
    if (text.size() >= 2 && (((unsigned char)text[0] == 0xFF && (unsigned char)text[1] == 0xFE) ||
                             ((unsigned char)text[0] == 0xFE && (unsigned char)text[1] == 0xFF)))
        return fail(1, "UTF-16 file; save it as REGEDIT4 (8-bit text)");

    AdapterConfig cfg;
    bool header = false;
    bool in_params = false;
    bool found_params = false;
    bool in_key = false;
    int lineno = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t eol = text.find('\n', pos);
        std::string_view raw =
            text.substr(pos, eol == std::string_view::npos ? std::string_view::npos : eol - pos);
        pos = eol == std::string_view::npos ? text.size() + 1 : eol + 1;
        if (eol == std::string_view::npos && raw.empty())
            break; // nothing after the last newline
        ++lineno;
        std::string_view line = trim(raw);
        if (line.empty() || line.front() == ';')
            continue;
        if (line.find('\0') != std::string_view::npos)
            return fail(lineno, "NUL byte in line");
        if (!header) {
            if (line != "REGEDIT4")
                return fail(lineno, "expected REGEDIT4 header, found '" + printable(line) + "'");
            header = true;
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']')
                return fail(lineno, "key line without closing ']'");
            std::string_view key = line.substr(1, line.size() - 2);
            if (!key.empty() && key.front() == '-')
                return fail(lineno, "key deletion is not supported");
            if (key.empty())
                return fail(lineno, "empty key name");
            in_key = true;
            in_params = ends_with_nocase(key, "\\Parameters") ||
                        (key.size() == 10 && ends_with_nocase(key, "Parameters"));
            if (in_params) {
                if (found_params)
                    return fail(lineno, "second Parameters key; one adapter instance per file");
                found_params = true;
            }
            continue;
        }
        if (line.front() != '"') {
            if (line.front() == '@')
                return fail(lineno, "default values (@) are not supported");
            return fail(lineno, "expected a \"name\"=value line or a [key]");
        }
        if (!in_key)
            return fail(lineno, "value outside any [key]");
        std::string name, what;
        size_t after = read_quoted(line, name, what);
        if (after == std::string_view::npos)
            return fail(lineno, what + " in value name");
        if (name.empty())
            return fail(lineno, "empty value name");
        std::string_view rest = trim(line.substr(after));
        if (rest.empty() || rest.front() != '=')
            return fail(lineno, "expected '=' after value name");
        rest = trim(rest.substr(1));
        if (rest.empty())
            return fail(lineno, "missing value after '='");
        if (rest.front() == '"') {
            std::string value;
            size_t end = read_quoted(rest, value, what);
            if (end == std::string_view::npos)
                return fail(lineno, what);
            std::string_view tail = trim(rest.substr(end));
            if (!tail.empty() && tail.front() != ';')
                return fail(lineno, "unexpected text after string value");
            std::u16string u;
            if (!utf8_to_utf16(value, u))
                return fail(lineno, "string value is not valid UTF-8");
            if (in_params)
                cfg.set_string16(name, std::move(u));
            continue;
        }
        const std::string_view dw = "dword:";
        if (rest.size() >= dw.size() && ends_with_nocase(rest.substr(0, dw.size()), dw)) {
            std::string_view digits = rest.substr(dw.size());
            size_t semi = digits.find(';');
            if (semi != std::string_view::npos)
                digits = trim(digits.substr(0, semi));
            if (digits.empty() || digits.size() > 8)
                return fail(lineno, "dword needs 1 to 8 hexadecimal digits");
            uint32_t v = 0;
            for (char c : digits) {
                if (!std::isxdigit((unsigned char)c))
                    return fail(lineno, "bad hexadecimal digit '" +
                                            printable(std::string_view(&c, 1)) + "' in dword");
                v = v * 16 + (uint32_t)(std::isdigit((unsigned char)c)
                                            ? c - '0'
                                            : std::tolower((unsigned char)c) - 'a' + 10);
            }
            if (in_params)
                cfg.set_dword(name, v);
            continue;
        }
        return fail(lineno, "unsupported value type (only \"string\" and dword: are read)");
    }
    if (!header)
        return fail(lineno == 0 ? 1 : lineno, "empty file: expected REGEDIT4 header");
    if (!found_params)
        return fail(lineno, "no [...\\Parameters] key for the adapter instance");
    return cfg;
}

std::optional<AdapterConfig> load_reg_file(const std::string &path, ParseError &err) {
    std::string text, why;
    if (!read_small_file(path, kMaxRegFileBytes, text, why)) {
        err = ParseError{path, 0, why};
        return std::nullopt;
    }
    return parse_reg(text, path, err);
}

} // namespace talhost
