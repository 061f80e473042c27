// commands.h - the three commands of the norvane tool. Each takes the
// arguments after its name and returns the process exit status.
#pragma once

#include <span>

namespace norvane_cli {

int run_inspect(std::span<const char* const> args);
int run_mint(std::span<const char* const> args);
int run_open(std::span<const char* const> args);

// print_usage writes the tool's overview to a descriptor.
void print_usage(int fd);

}  // namespace norvane_cli
