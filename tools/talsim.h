// talsim: runs the driver against the card model on the host.
// Exit status: 0 success, 1 the driver or an operation failed, 2 bad usage
// or bad input.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/taladapter.h"
#include "host.h"

namespace talsim {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

using Args = std::vector<std::string>;

struct Command {
    const char *name;
    const char *summary;
    const char *usage; // full --help text
    int (*run)(const Args &args);
};

int cmd_config(const Args &args);
int cmd_send(const Args &args);
int cmd_world(const Args &args);

// Returns true (and prints usage) when args ask for help.
bool wants_help(const Args &args, const Command &cmd);

// Reads an adapter instance's REGEDIT4 file; a malformed one is reported
// as file:line: what, and nothing is returned.
std::optional<talhost::AdapterConfig> load_adapter_file(const std::string &file);

// An adapter instance on a host, its record filled by the driver's
// configuration pass. On a refusal, prints the NDIS status and returns null.
struct ConfiguredAdapter {
    NDIS_HANDLE handle = nullptr;
    std::unique_ptr<TAL_ADAPTER> record;
};
std::optional<ConfiguredAdapter> configure_adapter(talhost::Host &host,
                                                   talhost::AdapterConfig config,
                                                   const std::string &file, const char *who);

} // namespace talsim
