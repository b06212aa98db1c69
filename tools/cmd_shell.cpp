// talsim shell FILE.reg [--world W.toml] [--seed N]: the configuration
// shell on an adapter brought up in a radio world. With a terminal, lines
// are edited, completed and kept in a history (libedit); without one, each
// line of standard input is a command and the first that fails ends the
// shell with its exit status.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdio_ext.h>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

// libedit's readline interface (C, no extern "C" of its own in older versions).
extern "C" {
#include <editline/readline.h>
}

#include "ndisnames.h"
#include "registry.h"
#include "shell.h"
#include "talsim.h"
#include "utility.h"

namespace talsim {

namespace {

constexpr uint64_t kJoinWaitUs = 3000 * kMs;

std::vector<std::string> g_matches;

char *next_match(const char *, int state) {
    static size_t index;
    if (state == 0)
        index = 0;
    return index < g_matches.size() ? strdup(g_matches[index++].c_str()) : nullptr;
}

char **complete(const char *text, int start, int) {
    rl_attempted_completion_over = 1; // no file names
    g_matches = Shell::completions(std::string_view(rl_line_buffer, (size_t)start), text);
    return rl_completion_matches(text, next_match);
}

int interactive(Shell &shell) {
    rl_readline_name = "talsim";
    rl_attempted_completion_function = complete;
    std::cerr << "talsim shell: help lists the commands; quit or end of input leaves\n";
    int last = kExitOk;
    while (!shell.quit()) {
        char *line = readline("tal> ");
        if (!line)
            break;
        if (*line)
            add_history(line);
        last = shell.run_line(line);
        std::free(line);
        std::cout.flush();
    }
    std::cerr << "\n";
    return last;
}

} // namespace

int cmd_shell(const ShellOptions &o) {
    // A script that cannot be read is no empty script.
    struct stat st {};
    int unreadable = fstat(STDIN_FILENO, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
    if (unreadable) {
        note("shell", std::string("standard input: ") + std::strerror(unreadable));
        return kExitUsage;
    }
    std::optional<Inputs> in = load_inputs(o.reg, o.world, o.seed);
    if (!in)
        return kExitUsage;
    Session s(in->world);
    s.load_driver();
    NDIS_STATUS status = s.start(std::move(in->adapter));
    if (status != NDIS_STATUS_SUCCESS) {
        note("shell", "the adapter did not come up: " + talhost::ndis_status_text(status));
        return kExitFailed;
    }
    // Notes of the bring-up go to standard error: the results of the
    // commands alone go to standard output.
    Utility joining(s, &std::cerr);
    if (!joining.follow_link(kJoinWaitUs, true))
        note("shell", "no media connect yet: the card has joined no network");

    Shell shell(s, std::cout, std::cerr);
    shell.show_progress(isatty(STDERR_FILENO));
    int result = isatty(STDIN_FILENO) ? interactive(shell) : shell.run_script(std::cin, "<stdin>");
    if (shell.output_error()) {
        // Said once, with its own reason; what is still buffered is lost.
        std::fprintf(stderr, "talsim: standard output: %s\n", std::strerror(shell.output_error()));
        __fpurge(stdout);
        std::clearerr(stdout);
        std::cout.clear();
    }
    std::string findings = s.halt();
    if (!findings.empty()) {
        note("shell", "the driver broke wrapper rules:\n" + findings);
        return result == kExitOk ? kExitFailed : result;
    }
    // At a terminal each line has already answered; the last one's status
    // is no verdict on the session.
    return isatty(STDIN_FILENO) ? kExitOk : result;
}

} // namespace talsim
