// talsim: runs the driver against the card model on the host.
// Exit status: 0 success, 1 the driver or an operation failed, 2 bad usage
// or bad input. Results go to standard output, notes and progress to
// standard error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "air/radioworld.h"
#include "host.h"
#include "shell.h" // the exit statuses

namespace talsim {

// A world file is read whole: no sane one comes near this.
inline constexpr size_t kMaxWorldFileBytes = 1 << 20;

// Each subcommand's options, as the command line gives them.
struct ConfigOptions {
    std::string reg;
};
struct SendOptions {
    std::string reg;
    std::string pcap = "air.pcap";
    uint64_t count = 4;
};
struct WorldOptions {
    std::string reg;
    std::string world; // empty: the built-in default
    std::string pcap = "air.pcap";
    uint64_t pings = 4;
    uint64_t run_ms = 0;
};
struct DemoOptions {
    std::string reg;   // empty: the example's adapter.reg
    std::string world; // empty: the built-in default
    std::optional<uint64_t> seed;
    std::string air = "air.pcap";
    std::string eth = "eth.pcap";
    bool quiet = false;
};
struct ShellOptions {
    std::string reg;
    std::string world;
    std::optional<uint64_t> seed;
};

int cmd_config(const ConfigOptions &o);
int cmd_send(const SendOptions &o);
int cmd_world(const WorldOptions &o);
int cmd_demo(const DemoOptions &o);
int cmd_shell(const ShellOptions &o);

// Reads an adapter instance's REGEDIT4 file; what is wrong with it is
// reported (file:line: what, or the file and the system's reason), and
// nothing is returned.
std::optional<talhost::AdapterConfig> load_adapter_file(const std::string &file);
// The world of `file` (the built-in default when empty), with `seed` in
// place of its own when given; reported as above when the file is bad.
std::optional<WorldConfig> load_world(const std::string &file, std::optional<uint64_t> seed);

// Both, for the subcommands that run an adapter in a world.
struct Inputs {
    talhost::AdapterConfig adapter;
    WorldConfig world;
};
std::optional<Inputs> load_inputs(const std::string &reg, const std::string &world,
                                  std::optional<uint64_t> seed);

// A note on standard error, prefixed "talsim SUBCOMMAND: ".
void note(const char *who, const std::string &text);

} // namespace talsim
