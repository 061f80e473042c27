// commands.h - the commands of the norvane tool. Each takes the arguments
// after its name and returns the process exit status.
#pragma once

#include <span>
#include <string_view>

namespace norvane_cli {

int run_inspect(std::span<const char* const> args);
int run_keygen(std::span<const char* const> args);
int run_mint(std::span<const char* const> args);
int run_open(std::span<const char* const> args);
int run_rotate(std::span<const char* const> args);

// run_help prints the tool's overview, asked for with `request` ("--help",
// "-h" or "help"); run_version its version. Each is what it is only as the
// tool's only argument: anything after it is a usage error.
int run_help(std::string_view request, std::span<const char* const> args);
int run_version(std::span<const char* const> args);

// unknown_command reports a first argument that names no command, with the
// overview, on standard error.
int unknown_command(std::string_view command);

// print_usage writes the tool's overview to a descriptor; false when the
// write fails.
bool print_usage(int fd);

}  // namespace norvane_cli
