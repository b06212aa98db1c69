// The configuration shell: named commands over an adapter's information
// requests, as a configuration utility drives them (query and set by name,
// the card reset, a site survey, the access point's information, monitor
// mode, the register dump, the production data, a firmware download), plus
// traffic and time (send, ping, run) and the counters (stats).
//
// Each line is one command; words are separated by blanks, "double quotes"
// keep blanks in a word (\" and \\ inside them), and # starts a comment.
// Results go to `out`, notes and the download's progress to `err`. A line
// answers with the tool's exit status: 0 done, 1 the driver or the
// operation failed (the NDIS status by name and value), 2 an unknown
// command or a bad argument, each with a message saying what was wrong.
#pragma once

#include <iosfwd>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "session.h"
#include "utility.h"

namespace talsim {

// The exit statuses of talsim, and the answers of the shell's lines.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

class Shell {
public:
    Shell(Session &session, std::ostream &out, std::ostream &err);

    // The download's progress bar (for a terminal); off by default.
    void show_progress(bool on) { progress_ = on; }

    // The longest line a script may have.
    static constexpr size_t kMaxLineBytes = 64 * 1024;

    int run_line(std::string_view line);
    // Every line of `in` in turn; stops at the first that fails (or is
    // longer than kMaxLineBytes), naming it by `name` and its line number,
    // and returns its status; 0 at the end of the input, 1 when reading it
    // failed.
    int run_script(std::istream &in, const std::string &name);
    // The system's reason when the results could not be written (the
    // script then stopped with status 1), or 0.
    int output_error() const { return output_error_; }
    bool quit() const { return quit_; }

    // Completions of `word` for a line that has `before` ahead of it: the
    // commands for the first word, OID names after query and set, the
    // arguments of monitor and help.
    static std::vector<std::string> completions(std::string_view before, std::string_view word);

    struct Command;

private:
    static const Command kCommands[];
    static const Command *find_command(std::string_view name);

    int help(const std::vector<std::string> &args);
    int oids(const std::vector<std::string> &args);
    int query(const std::vector<std::string> &args);
    int set(const std::vector<std::string> &args);
    int reset(const std::vector<std::string> &args);
    int survey(const std::vector<std::string> &args);
    int apinfo(const std::vector<std::string> &args);
    int monitor(const std::vector<std::string> &args);
    int regdump(const std::vector<std::string> &args);
    int pda(const std::vector<std::string> &args);
    int download(const std::vector<std::string> &args);
    int send(const std::vector<std::string> &args);
    int ping(const std::vector<std::string> &args);
    int run(const std::vector<std::string> &args);
    int stats(const std::vector<std::string> &args);
    int quit(const std::vector<std::string> &args);

    // Queries `oid` and shows its answer decoded (under its name, when
    // `named` and the answer takes more than a line).
    int show(NDIS_OID oid, bool named);
    // The utility's error, and kExitFailed.
    int failed();
    int usage_error(const std::string &what);

    Session &session_;
    Utility utility_;
    std::ostream &out_;
    std::ostream &err_;
    bool progress_ = false;
    int output_error_ = 0;
    bool quit_ = false;
    std::map<std::string, wire::MacAddr> neighbours_; // resolved by ping
    uint16_t ping_seq_ = 0;
};

// "250ms", "2s", "100us" or plain milliseconds, at most an hour; nothing
// for anything else.
std::optional<uint64_t> parse_duration(std::string_view text);
// A decimal number from `min` to `max`; nothing for anything else.
std::optional<uint64_t> parse_count(std::string_view text, uint64_t min, uint64_t max);

} // namespace talsim
