// norvane - the command-line tool of the token library: inspect, mint, open
// and rotate tokens, and make keys, from a shell.
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <new>
#include <span>
#include <string_view>

#include "command_line.h"
#include "commands.h"

int main(int argc, char** argv) {
    using namespace norvane_cli;
    try {
        const std::span<const char* const> args(argv, static_cast<std::size_t>(argc));
        if (args.size() < 2) {
            print_usage(STDERR_FILENO);
            return kExitUsage;
        }
        const std::string_view command = args[1];
        const auto rest = args.subspan(2);
        if (command == "inspect") {
            return run_inspect(rest);
        }
        if (command == "keygen") {
            return run_keygen(rest);
        }
        if (command == "mint") {
            return run_mint(rest);
        }
        if (command == "open") {
            return run_open(rest);
        }
        if (command == "rotate") {
            return run_rotate(rest);
        }
        if (command == "-h" || command == "--help" || command == "help") {
            return run_help(command, rest);
        }
        if (command == "--version") {
            return run_version(rest);
        }
        return unknown_command(command);
    } catch (const std::bad_alloc&) {
        std::fputs("norvane: out of memory\n", stderr);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "norvane: internal error: %s\n", e.what());
    }
    return kExitRefused;
}
