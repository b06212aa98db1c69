#include "shell.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <istream>
#include <ostream>

#include "driver/taloids.h"
#include "exampleframes.h"
#include "fwimage.h"
#include "ndisnames.h"
#include "registry.h" // printable

namespace talsim {

using Args = std::vector<std::string>;

struct Shell::Command {
    const char *name;
    const char *arguments;
    const char *summary;
    int (Shell::*run)(const Args &);
    size_t min_args, max_args;
};

namespace {

constexpr uint64_t kAnswerWaitUs = 50 * kMs;
constexpr uint64_t kRejoinUs = 2000 * kMs;
constexpr uint64_t kMaxDurationUs = 3600ull * 1000 * kMs;
constexpr size_t kMany = ~(size_t)0;

} // namespace

const Shell::Command Shell::kCommands[] = {
    {"help", "[COMMAND]", "list the commands, or say what one does", &Shell::help, 0, 1},
    {"oids", "", "list the OID names with their codes and values", &Shell::oids, 0, 0},
    {"query", "NAME|CODE", "ask the driver for an OID and show its answer decoded", &Shell::query,
     1, 1},
    {"set", "NAME|CODE [VALUE]", "hand the driver a value for an OID", &Shell::set, 1, kMany},
    {"reset", "", "reset the card: it takes every setting made since", &Shell::reset, 0, 0},
    {"survey", "", "scan every channel and list the networks heard", &Shell::survey, 0, 0},
    {"apinfo", "", "the access point's vendor information", &Shell::apinfo, 0, 0},
    {"monitor", "on|off", "monitor mode: the card passes up every frame on its channel",
     &Shell::monitor, 1, 1},
    {"regdump", "", "the controller's registers 0 to 126", &Shell::regdump, 0, 0},
    {"pda", "", "the card's production data (512 words)", &Shell::pda, 0, 0},
    {"download", "IMAGE", "load a firmware image (S-records) into the card", &Shell::download, 1,
     1},
    {"send", "[COUNT]", "send example frames (ICMP, ARP, IPX, 802.3), 4 by default", &Shell::send,
     0, 1},
    {"ping", "ADDRESS [COUNT]", "ARP for an IPv4 address, then ICMP echo (4 by default)",
     &Shell::ping, 1, 2},
    {"run", "DURATION", "let time pass (250ms, 2s, 100us; a plain number is ms)", &Shell::run, 1,
     1},
    {"stats", "", "the card's tallies and the driver's packet counters", &Shell::stats, 0, 0},
    {"quit", "", "leave the shell (so does end of input)", &Shell::quit, 0, 0},
};

const Shell::Command *Shell::find_command(std::string_view name) {
    for (const Command &c : kCommands)
        if (name == c.name)
            return &c;
    return nullptr;
}

namespace {

// Words of a line: blanks separate them, double quotes keep blanks in one.
bool split_words(std::string_view line, Args &words, std::string &why) {
    words.clear();
    size_t i = 0;
    while (i < line.size()) {
        if (std::isspace((unsigned char)line[i])) {
            i++;
            continue;
        }
        if (line[i] == '#')
            break;
        std::string word;
        bool quoted = false;
        for (; i < line.size() && (quoted || !std::isspace((unsigned char)line[i])); i++) {
            char c = line[i];
            if (c == '"') {
                quoted = !quoted;
            } else if (quoted && c == '\\' && i + 1 < line.size() &&
                       (line[i + 1] == '"' || line[i + 1] == '\\')) {
                word += line[++i];
            } else {
                word += c;
            }
        }
        if (quoted) {
            why = "a quote is not closed";
            return false;
        }
        words.push_back(std::move(word));
    }
    return true;
}

} // namespace

std::optional<uint64_t> parse_duration(std::string_view text) {
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end == text.data())
        return std::nullopt;
    std::string_view unit(end, text.data() + text.size() - end);
    uint64_t scale = unit == "us"                   ? 1
                     : unit == "ms" || unit.empty() ? kMs
                     : unit == "s"                  ? 1000 * kMs
                                                    : 0;
    if (!scale || value > kMaxDurationUs / scale)
        return std::nullopt;
    return value * scale;
}

std::optional<uint64_t> parse_count(std::string_view text, uint64_t min, uint64_t max) {
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value < min ||
        value > max)
        return std::nullopt;
    return value;
}

Shell::Shell(Session &session, std::ostream &out, std::ostream &err)
    : session_(session), utility_(session, &out), out_(out), err_(err) {}

int Shell::usage_error(const std::string &what) {
    err_ << "error: " << what << "\n";
    return kExitUsage;
}

int Shell::run_line(std::string_view line) {
    Args words;
    std::string why;
    if (!split_words(line, words, why))
        return usage_error(why);
    if (words.empty())
        return kExitOk;
    const Command *c = find_command(words[0]);
    if (!c)
        return usage_error("unknown command '" + talhost::printable(words[0]) +
                           "' (help lists the commands)");
    Args args(words.begin() + 1, words.end());
    if (args.size() < c->min_args || args.size() > c->max_args)
        return usage_error(std::string("usage: ") + c->name + (*c->arguments ? " " : "") +
                           c->arguments);
    return (this->*c->run)(args);
}

// A line of a script, at most kMaxLineBytes long: an input that never ends
// its line (/dev/zero) is refused instead of read into memory.
static bool read_line(std::istream &in, std::string &line, bool &too_long) {
    line.clear();
    too_long = false;
    for (int c; (c = in.get()) != std::char_traits<char>::eof();) {
        if (c == '\n')
            return true;
        if (line.size() == Shell::kMaxLineBytes) {
            too_long = true;
            return true;
        }
        line.push_back((char)c);
    }
    return !line.empty();
}

int Shell::run_script(std::istream &in, const std::string &name) {
    std::string line;
    bool too_long = false;
    errno = 0;
    for (int n = 1; !quit_ && read_line(in, line, too_long); n++) {
        int status =
            too_long
                ? usage_error("a line longer than " + std::to_string(kMaxLineBytes / 1024) + " KiB")
                : run_line(line);
        if (status != kExitOk) {
            err_ << name << ":" << n << ": the shell stops at this line\n";
            return status;
        }
        // A result that cannot be written ends the script, with the reason
        // taken while it is fresh.
        errno = 0;
        if (!out_.flush()) {
            output_error_ = errno ? errno : EIO;
            return kExitFailed;
        }
    }
    // The end of the input, or a read that failed (a directory, a closed
    // descriptor): that is no end of the script.
    if (in.bad() || (!quit_ && in.fail() && !in.eof())) {
        err_ << "talsim shell: " << name << ": "
             << (errno ? std::strerror(errno) : "cannot be read") << "\n";
        return kExitFailed;
    }
    return kExitOk;
}

std::vector<std::string> Shell::completions(std::string_view before, std::string_view word) {
    Args words;
    std::string why;
    split_words(before, words, why);
    std::vector<std::string> candidates;
    if (words.empty()) {
        for (const Command &c : kCommands)
            candidates.push_back(c.name);
    } else if (words.size() == 1 && (words[0] == "query" || words[0] == "set")) {
        for (const OidInfo &row : oid_table())
            if (words[0] == "query" ? row.query != Value::None : row.set != Value::None)
                candidates.push_back(row.name);
    } else if (words.size() == 1 && words[0] == "monitor") {
        candidates = {"on", "off"};
    } else if (words.size() == 1 && words[0] == "help") {
        for (const Command &c : kCommands)
            candidates.push_back(c.name);
    }
    std::vector<std::string> out;
    for (const std::string &c : candidates)
        if (c.size() >= word.size() &&
            std::equal(word.begin(), word.end(), c.begin(), [](char a, char b) {
                return std::toupper((unsigned char)a) == std::toupper((unsigned char)b);
            }))
            out.push_back(c);
    return out;
}

int Shell::failed() {
    err_ << "error: " << utility_.error() << "\n";
    return kExitFailed;
}

int Shell::help(const Args &args) {
    if (!args.empty()) {
        const Command *c = find_command(args[0]);
        if (!c)
            return usage_error("no command '" + talhost::printable(args[0]) + "'");
        out_ << c->name << (*c->arguments ? " " : "") << c->arguments << "\n  " << c->summary
             << "\n";
        return kExitOk;
    }
    for (const Command &c : kCommands) {
        std::string head = std::string(c.name) + (*c.arguments ? " " : "") + c.arguments;
        char line[160];
        std::snprintf(line, sizeof line, "  %-24s %s\n", head.c_str(), c.summary);
        out_ << line;
    }
    return kExitOk;
}

int Shell::oids(const Args &) {
    for (const OidInfo &row : oid_table()) {
        char line[160];
        std::snprintf(line, sizeof line, "  %-32s 0x%08X  query: %-9s set: %s\n", row.name,
                      (unsigned)row.code, value_name(row.query), value_name(row.set));
        out_ << line;
    }
    return kExitOk;
}

int Shell::query(const Args &args) {
    std::string why;
    std::optional<OidRef> oid = find_oid(args[0], why);
    if (!oid)
        return usage_error(why);
    if (oid->info && oid->info->query == Value::None)
        return usage_error(std::string(oid->info->name) +
                           " cannot be queried: the driver only takes it");
    return show(oid->code, true);
}

int Shell::show(NDIS_OID oid, bool named) {
    Bytes answer;
    if (!utility_.query(oid, answer))
        return failed();
    const OidInfo *row = oid_by_code(oid);
    std::string text =
        show_answer(row ? row->query : Value::Blob, answer, row ? row->labels : nullptr);
    if (named && text.find('\n') != std::string::npos)
        out_ << oid_name(oid) << ":\n";
    out_ << text << "\n";
    return kExitOk;
}

int Shell::set(const Args &args) {
    std::string why;
    std::optional<OidRef> oid = find_oid(args[0], why);
    if (!oid)
        return usage_error(why);
    // A text is one word: blanks need quotes, and "" is the empty one, so
    // that a forgotten value or a stray word is not taken for a name.
    if (oid->info && oid->info->set == Value::Chars && args.size() != 2)
        return usage_error(oid_name(oid->code) +
                           " takes one text value (quote one with blanks, \"\" for none)");
    std::string value;
    for (size_t i = 1; i < args.size(); i++)
        value += (i > 1 ? " " : "") + args[i];
    static const OidInfo kRaw = {"this code", 0, Value::Blob, Value::Blob};
    std::optional<Bytes> input = parse_set_value(oid->info ? *oid->info : kRaw, value, why);
    if (!input)
        return usage_error(why);
    if (!utility_.set(oid->code, *input))
        return failed();
    out_ << oid_name(oid->code) << ": set\n";
    return kExitOk;
}

int Shell::reset(const Args &) {
    if (!utility_.set(OID_PRIV_RESET_CARD, {}))
        return failed();
    out_ << "card reset: it runs with the adapter's settings\n";
    utility_.follow_link(kRejoinUs, true);
    return kExitOk;
}

int Shell::survey(const Args &) {
    std::vector<Network> networks;
    if (!utility_.survey(networks))
        return failed();
    out_ << networks_text(networks) << "\n";
    return kExitOk;
}

int Shell::apinfo(const Args &) {
    ApInfo info;
    if (!utility_.ap_info(info))
        return failed();
    out_ << ap_info_text(info) << "\n";
    return kExitOk;
}

int Shell::monitor(const Args &args) {
    if (args[0] != "on" && args[0] != "off")
        return usage_error("monitor takes on or off, not '" + talhost::printable(args[0]) + "'");
    bool on = args[0] == "on";
    if (!utility_.set(on ? OID_PRIV_SNIFFER_ON : OID_PRIV_SNIFFER_OFF, {}))
        return failed();
    out_ << "monitor mode "
         << (on ? "on: the card passes up every frame on its channel, sends fail" : "off") << "\n";
    // Leaving monitor mode resets the card, which looks for its network again.
    if (!on)
        utility_.follow_link(kRejoinUs, true);
    return kExitOk;
}

int Shell::regdump(const Args &) {
    return show(OID_PRIV_REGISTER_DUMP, false);
}

int Shell::pda(const Args &) {
    return show(OID_PRIV_PDA, false);
}

int Shell::download(const Args &args) {
    talhost::ParseError err;
    std::optional<FirmwareImage> image = load_firmware_image(args[0], err);
    if (!image)
        return usage_error(err.message());
    const size_t total = image->size();
    auto bar = [&](size_t done) {
        if (!progress_)
            return;
        constexpr size_t kWidth = 30;
        size_t filled = total ? done * kWidth / total : kWidth;
        err_ << "\rdownload [" << std::string(filled, '#') << std::string(kWidth - filled, '.')
             << "] " << (total ? done * 100 / total : 100) << "%  " << done / 1024 << "/"
             << total / 1024 << " KiB" << std::flush;
    };
    bool ok = utility_.download(*image, bar);
    if (progress_)
        err_ << "\n";
    if (!ok)
        return failed();
    out_ << "download: " << image->blocks.size()
         << (image->blocks.size() == 1 ? " block, " : " blocks, ") << total
         << " bytes in the card; reset puts it back in service\n";
    return kExitOk;
}

int Shell::send(const Args &args) {
    uint64_t count = 4;
    if (!args.empty()) {
        std::optional<uint64_t> n = parse_count(args[0], 1, 10000);
        if (!n)
            return usage_error("send takes a count from 1 to 10000, not '" +
                               talhost::printable(args[0]) + "'");
        count = *n;
    }
    session_.take_completions();
    const Mac peer = {0x00, 0x0B, 0x0E, 0x0A, 0x00, 0x02};
    for (uint64_t i = 0; i < count; i++) {
        std::vector<ExampleFrame> frames =
            example_frames(session_.station(), peer, (uint16_t)(i / 4 + 1));
        const ExampleFrame &f = frames[i % frames.size()];
        NDIS_STATUS status = session_.send(f.bytes);
        out_ << "  " << i + 1 << "  " << f.name << ", " << f.bytes.size()
             << " bytes: " << talhost::ndis_status_name(status) << "\n";
        session_.run_for(kMs);
    }
    session_.run_for(50 * kMs);
    size_t ok = 0, done = 0;
    for (const talhost::SendCompletion &c : session_.take_completions()) {
        done++;
        ok += c.status == NDIS_STATUS_SUCCESS;
    }
    out_ << count << " sent, " << ok << " completed with success, " << done - ok
         << " with failure\n";
    if (ok == count)
        return kExitOk;
    err_ << "error: " << count - ok << " of " << count << " sends did not complete with success"
         << (done < count ? " (the card took no frame: after a download, reset puts it back)" : "")
         << "\n";
    return kExitFailed;
}

int Shell::ping(const Args &args) {
    std::optional<wire::Ipv4Addr> target = parse_ipv4(args[0]);
    if (!target)
        return usage_error("ping takes an IPv4 address such as 192.0.2.1, not '" +
                           talhost::printable(args[0]) + "'");
    uint64_t count = 4;
    if (args.size() > 1) {
        std::optional<uint64_t> n = parse_count(args[1], 1, 1000);
        if (!n)
            return usage_error("ping takes a count from 1 to 1000, not '" +
                               talhost::printable(args[1]) + "'");
        count = *n;
    }
    // The station takes .10 of the target's network (.11 when that is the target).
    wire::Ipv4Addr self = *target;
    self[3] = (*target)[3] == 10 ? 11 : 10;
    std::string name = ipv4_text(*target);
    auto known = neighbours_.find(name);
    if (known == neighbours_.end()) {
        std::optional<wire::MacAddr> mac = session_.resolve(self, *target, kAnswerWaitUs);
        if (!mac) {
            err_ << "error: no ARP answer from " << name << "\n";
            return kExitFailed;
        }
        known = neighbours_.emplace(name, *mac).first;
        out_ << "ARP: " << name << " is at " << mac_text(mac->data()) << "\n";
    }
    uint64_t answered = 0;
    for (uint64_t i = 0; i < count; i++) {
        uint16_t seq = ++ping_seq_;
        std::optional<uint64_t> rtt =
            session_.ping(known->second, self, *target, seq, kAnswerWaitUs);
        answered += rtt.has_value();
        if (rtt)
            out_ << "reply from " << name << ": icmp_seq=" << seq << " time=" << millis_text(*rtt)
                 << "\n";
        else
            out_ << "no reply from " << name << ": icmp_seq=" << seq << "\n";
    }
    out_ << count << " echo requests, " << answered << " replies\n";
    return answered == count ? kExitOk : kExitFailed;
}

int Shell::run(const Args &args) {
    std::optional<uint64_t> us = parse_duration(args[0]);
    if (!us)
        return usage_error("run takes a duration up to 1 hour such as 250ms, 2s or 100us, not '" +
                           talhost::printable(args[0]) + "'");
    session_.take_frames();
    utility_.follow_link(*us);
    size_t frames = session_.take_frames().size();
    std::string now = seconds_text(session_.now());
    out_ << "ran " << millis_text(*us) << "; " << frames << " frames indicated; now at "
         << now.substr(now.find_first_not_of(' ')) << "\n";
    return kExitOk;
}

int Shell::stats(const Args &) {
    Bytes tallies, monitor;
    if (!utility_.tallies(tallies) || !utility_.query(OID_PRIV_PACKET_MONITOR, monitor))
        return failed();
    out_ << "tallies (the card):\n" << show_answer(Value::Tallies, tallies) << "\n";
    out_ << "packet monitor (the driver):\n" << show_answer(Value::Monitor, monitor) << "\n";
    return kExitOk;
}

int Shell::quit(const Args &) {
    quit_ = true;
    return kExitOk;
}

} // namespace talsim
