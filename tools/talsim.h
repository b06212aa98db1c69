// talsim: runs the driver against the card model on the host.
// Exit status: 0 success, 1 the driver or an operation failed, 2 bad usage
// or bad input.
#pragma once

#include <string>
#include <vector>

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

// Returns true (and prints usage) when args ask for help.
bool wants_help(const Args &args, const Command &cmd);

} // namespace talsim
