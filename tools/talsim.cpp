#include "talsim.h"

#include <cstdio>
#include <cstring>

#include "driver/talmain.h"
#include "ndisnames.h"

namespace talsim {

static const Command kCommands[] = {
    {"config", "read an adapter's registry configuration and show the settings",
     "usage: talsim config FILE.reg\n"
     "\n"
     "Reads the adapter instance's configuration from a REGEDIT4 file as the\n"
     "driver's initialize handler does and prints the adapter record's settings.\n"
     "Exit status: 0 shown, 1 the driver refuses the configuration (its NDIS\n"
     "status is printed), 2 bad usage or a malformed file (file:line: what).\n",
     cmd_config},
    {"send", "bring the card model up and send example frames; capture the air",
     "usage: talsim send FILE.reg [--pcap PATH] [--count N]\n"
     "\n"
     "Brings an adapter up on the card model from the REGEDIT4 file with the\n"
     "driver's own steps, hands the send handler N example frames (default 4: an\n"
     "IPv4 ICMP echo request, an ARP request, IPX over the 802.1H bridge tunnel\n"
     "and an 802.3 length frame, in turn) and writes every frame the card puts\n"
     "on the air to a pcap file with radiotap headers (default air.pcap).\n"
     "Exit status: 0 every frame went out, 1 the driver or a send failed,\n"
     "2 bad usage or a malformed file.\n",
     cmd_send},
    {"world", "bring an adapter up in a radio world; join, ping the wired host, survey",
     "usage: talsim world FILE.reg [--world W.toml] [--pcap PATH] [--pings N] [--run MS]\n"
     "\n"
     "Brings an adapter up from the REGEDIT4 file with the driver's own steps in\n"
     "a radio world: the built-in default (three access points on channels 1, 6\n"
     "and 11; the one on 6 is the example's TalNet with its WEP keys and a wired\n"
     "host at 192.0.2.1) or the world file given. Waits for the card to join,\n"
     "resolves the wired host behind the access point by ARP and pings it N times\n"
     "(default 4) through the driver, runs MS more milliseconds showing link\n"
     "changes, then lists the networks heard and the card's tallies. Everything on\n"
     "the air goes to a pcap file (default air.pcap).\n"
     "Exit status: 0 joined and every ping answered, 1 the driver, the join or a\n"
     "ping failed, 2 bad usage or a malformed file.\n",
     cmd_world},
};

bool wants_help(const Args &args, const Command &cmd) {
    for (const std::string &a : args)
        if (a == "--help" || a == "-h") {
            std::fputs(cmd.usage, stdout);
            return true;
        }
    return false;
}

std::optional<talhost::AdapterConfig> load_adapter_file(const std::string &file) {
    talhost::ParseError err;
    auto cfg = talhost::load_reg_file(file, err);
    if (!cfg)
        std::fprintf(stderr, "%s\n", err.message().c_str());
    return cfg;
}

std::optional<ConfiguredAdapter> configure_adapter(talhost::Host &host,
                                                   talhost::AdapterConfig config,
                                                   const std::string &file, const char *who) {
    ConfiguredAdapter a;
    a.handle = host.add_adapter(std::move(config));
    a.record = std::make_unique<TAL_ADAPTER>();
    TalInitAdapterRecord(a.record.get(), a.handle);
    NDIS_STATUS status = TalReadConfiguration(a.record.get(), host.config_context(a.handle));
    if (status != NDIS_STATUS_SUCCESS) {
        std::fprintf(stderr, "%s: the driver refuses the configuration of %s: %s\n", who,
                     file.c_str(), talhost::ndis_status_text(status).c_str());
        return std::nullopt;
    }
    return a;
}

static void usage(FILE *out) {
    std::fputs("usage: talsim SUBCOMMAND [options]   (talsim SUBCOMMAND --help for more)\n\n",
               out);
    for (const Command &c : kCommands)
        std::fprintf(out, "  %-8s %s\n", c.name, c.summary);
}

} // namespace talsim

int main(int argc, char **argv) {
    using namespace talsim;
    if (argc < 2) {
        usage(stderr);
        return kExitUsage;
    }
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        usage(stdout);
        return kExitOk;
    }
    Args args(argv + 2, argv + argc);
    for (const Command &c : kCommands)
        if (!std::strcmp(argv[1], c.name)) {
            if (wants_help(args, c))
                return kExitOk;
            return c.run(args);
        }
    std::fprintf(stderr, "talsim: unknown subcommand '%s'\n", argv[1]);
    usage(stderr);
    return kExitUsage;
}
