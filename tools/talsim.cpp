#include "talsim.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>

#include "registry.h"

#ifndef TALSIM_VERSION
#define TALSIM_VERSION "0"
#endif

namespace talsim {

std::optional<talhost::AdapterConfig> load_adapter_file(const std::string &file) {
    talhost::ParseError err;
    auto cfg = talhost::load_reg_file(file, err);
    if (!cfg)
        std::fprintf(stderr, "%s\n", err.message().c_str());
    return cfg;
}

std::optional<WorldConfig> load_world(const std::string &file, std::optional<uint64_t> seed) {
    std::optional<WorldConfig> world = default_world();
    if (!file.empty()) {
        std::string text, why;
        if (!talhost::read_small_file(file, kMaxWorldFileBytes, text, why)) {
            std::fprintf(stderr, "%s\n", talhost::ParseError{file, 0, why}.message().c_str());
            return std::nullopt;
        }
        world = parse_world(text, file, why);
        if (!world) {
            // The reader may quote the file: nothing raw reaches the terminal.
            std::fprintf(stderr, "%s\n", talhost::printable(why, 200).c_str());
            return std::nullopt;
        }
    }
    if (seed)
        world->seed = *seed;
    return world;
}

std::optional<Inputs> load_inputs(const std::string &reg, const std::string &world,
                                  std::optional<uint64_t> seed) {
    std::optional<talhost::AdapterConfig> adapter = load_adapter_file(reg);
    std::optional<WorldConfig> w = adapter ? load_world(world, seed) : std::nullopt;
    if (!w)
        return std::nullopt;
    return Inputs{std::move(*adapter), std::move(*w)};
}

void note(const char *who, const std::string &text) {
    std::fprintf(stderr, "talsim %s: %s\n", who, text.c_str());
}

} // namespace talsim

namespace {

using namespace talsim;

const char *const kExitText =
    "Exit status: 0 success, 1 the driver or an operation failed (its NDIS\n"
    "status is shown), 2 bad usage or bad input.";

const char *const kSubcommands[] = {"config", "send", "world", "demo", "shell"};

bool is_subcommand(const char *word) {
    for (const char *name : kSubcommands)
        if (!std::strcmp(word, name))
            return true;
    return false;
}

// The options several subcommands share.
void reg_file(CLI::App *sub, std::string &to, bool required) {
    CLI::Option *o = sub->add_option("FILE.reg", to,
                                     required ? "the adapter instance (REGEDIT4)"
                                              : "the adapter instance (default: the example's)");
    if (required)
        o->required();
}
// An empty path names no file (and is not the default's stand-in).
const CLI::Validator kNonEmpty(
    [](std::string &text) {
        return text.empty() ? std::string("an empty path names no file") : "";
    },
    "", "non-empty");
void world_file(CLI::App *sub, std::string &to) {
    sub->add_option("--world", to, "a world file (TOML) instead of the default")
        ->type_name("FILE")
        ->check(kNonEmpty);
}
void path(CLI::App *sub, const char *name, std::string &to, const char *what) {
    sub->add_option(name, to, what)->type_name("PATH")->check(kNonEmpty)->capture_default_str();
}
void number(CLI::App *sub, const char *name, uint64_t &to, uint64_t min, uint64_t max,
            const char *type, const char *what) {
    sub->add_option(name, to, what)
        ->type_name(type)
        ->check(CLI::Range(min, max))
        ->capture_default_str();
}
// --seed, kept only when given: decimal digits up to the world file's
// largest seed (a sign or an overflow is no seed, not a wrapped one).
void seed(CLI::App *sub, std::optional<uint64_t> &to) {
    static const CLI::Validator kSeed(
        [](std::string &text) {
            uint64_t v = 0;
            auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
            if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
                v > (uint64_t)INT64_MAX)
                return "Value " + text + " not in range 0 to " + std::to_string(INT64_MAX);
            return std::string();
        },
        "", "seed");
    sub->add_option_function<uint64_t>(
           "--seed", [&to](const uint64_t &value) { to = value; },
           "the world's seed in place of its own")
        ->type_name("N")
        ->check(kSeed);
}

// Puts the subcommands and their options on `app`; `run` is set to the one
// the command line names.
void add_subcommands(CLI::App &app, std::function<int()> &run) {
    static ConfigOptions config;
    static SendOptions send;
    static WorldOptions world;
    static DemoOptions demo;
    static ShellOptions shell;
    auto when = [&run](CLI::App *sub, std::function<int()> fn) {
        sub->callback([&run, fn] { run = fn; });
        sub->footer(sub->get_footer() + "\n" + kExitText);
        sub->fallthrough(); // --version after the subcommand too
    };

    CLI::App *c = app.add_subcommand(
        "config", "Read an adapter's registry configuration and show the settings");
    c->footer("Reads the adapter instance's configuration from a REGEDIT4 file as the\n"
              "driver's initialize handler does and prints the adapter record's settings.\n");
    reg_file(c, config.reg, true);
    when(c, [] { return cmd_config(config); });

    CLI::App *s = app.add_subcommand(
        "send", "Bring the card model up and send example frames; capture the air");
    s->footer("Brings an adapter up on the card model with the driver's own steps, hands the\n"
              "driver N example frames through the wrapper (an IPv4 ICMP echo request, an ARP\n"
              "request, IPX over the 802.1H bridge tunnel and an 802.3 length frame, in turn)\n"
              "and writes every frame the card puts on the air to a pcap file with radiotap\n"
              "headers.\n");
    reg_file(s, send.reg, true);
    path(s, "--pcap", send.pcap, "the air capture");
    number(s, "--count", send.count, 1, 999999, "N", "frames to send");
    when(s, [] { return cmd_send(send); });

    CLI::App *w = app.add_subcommand(
        "world", "Bring an adapter up in a radio world; join, ping the wired host, survey");
    w->footer("Brings an adapter up in a radio world (the built-in default: three access\n"
              "points on channels 1, 6 and 11; the one on 6 is the example's TalNet with a\n"
              "wired host at 192.0.2.1), waits for the card to join, resolves the wired host\n"
              "by ARP and pings it through the driver, runs MS more milliseconds showing link\n"
              "changes, then lists the networks heard and the card's tallies.\n");
    reg_file(w, world.reg, true);
    world_file(w, world.world);
    path(w, "--pcap", world.pcap, "the air capture");
    number(w, "--pings", world.pings, 0, 1000, "N", "echo requests to the wired host");
    number(w, "--run", world.run_ms, 0, 3600000, "MS", "milliseconds to run after the pings");
    when(w, [] { return cmd_world(world); });

    CLI::App *d = app.add_subcommand(
        "demo", "The driver at work in the default world, step by step, with captures");
    d->footer("Loads the driver through DriverEntry and brings an adapter up from the\n"
              "example's adapter.reg in the default world, showing as it happens: media\n"
              "connect, the access point's vendor information, a site survey, ARP and ICMP\n"
              "echo to the wired host with host WEP, the card's tallies and the driver's\n"
              "packet counters as a utility reads them, then the halt and the verifier's\n"
              "verdict. Writes the air (radiotap) and the protocol side (Ethernet) to pcaps.\n");
    reg_file(d, demo.reg, false);
    world_file(d, demo.world);
    seed(d, demo.seed);
    path(d, "--air", demo.air, "the air capture (radiotap)");
    path(d, "--eth", demo.eth, "the protocol side's capture (Ethernet)");
    d->add_flag("-q,--quiet", demo.quiet, "print only the summary");
    when(d, [] { return cmd_demo(demo); });

    CLI::App *h = app.add_subcommand(
        "shell", "A configuration shell over the adapter's information requests");
    h->footer("Brings an adapter up in a radio world and reads commands (help lists them):\n"
              "query and set by OID name, reset, survey, apinfo, monitor, regdump, pda,\n"
              "download, send, ping, run, stats. With a terminal it edits lines, completes\n"
              "and keeps a history; otherwise it reads lines from standard input and stops at\n"
              "the first that fails, with that line's exit status.\n");
    reg_file(h, shell.reg, true);
    world_file(h, shell.world);
    seed(h, shell.seed);
    when(h, [] { return cmd_shell(shell); });
}

// Results went to standard output: a failed write there is a failure too.
int finish(int status) {
    std::cout.flush();
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "talsim: standard output: %s\n", std::strerror(errno ? errno : EIO));
        return status == kExitOk ? kExitFailed : status;
    }
    return status;
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app("Runs the Tal driver against the card model on the host.", "talsim");
    app.set_version_flag("--version", "talsim " TALSIM_VERSION);
    app.require_subcommand(1, 1);
    app.footer(kExitText);
    std::function<int()> run;
    add_subcommands(app, run);

    // A first word that names no subcommand is said so, not taken as extra.
    if (argc > 1 && argv[1][0] != '-' && !is_subcommand(argv[1])) {
        std::fprintf(stderr, "talsim: unknown subcommand '%s'\n%s",
                     talhost::printable(argv[1]).c_str(), app.help().c_str());
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0)
            return finish(app.exit(e)); // --help or --version: to standard output
        std::string who = argc > 1 && is_subcommand(argv[1]) ? std::string("talsim ") + argv[1]
                                                             : std::string("talsim");
        std::fprintf(stderr, "%s: %s\n(%s --help shows the options)\n", who.c_str(),
                     talhost::printable(e.what(), 200).c_str(), who.c_str());
        return kExitUsage;
    }
    return finish(run());
}
