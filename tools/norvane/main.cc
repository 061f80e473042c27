// norvane - the command-line tool of the token library: inspect, mint and
// open tokens from a shell.
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
        if (command == "mint") {
            return run_mint(rest);
        }
        if (command == "open") {
            return run_open(rest);
        }
        if (command == "-h" || command == "--help" || command == "help") {
            print_usage(STDOUT_FILENO);
            return kExitOk;
        }
        if (command == "--version") {
            std::fputs("norvane " NORVANE_VERSION "\n", stdout);
            return std::fflush(stdout) == 0 ? kExitOk : kExitRefused;
        }
        std::fprintf(stderr, "norvane: unknown command '%.*s'\n\n", static_cast<int>(command.size()),
                     command.data());
        std::fflush(stderr);
        print_usage(STDERR_FILENO);
        return kExitUsage;
    } catch (const std::bad_alloc&) {
        std::fputs("norvane: out of memory\n", stderr);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "norvane: internal error: %s\n", e.what());
    }
    return kExitRefused;
}
