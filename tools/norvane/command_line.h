// command_line.h - the command line of the norvane tool: options, operands,
// and the values the commands take (backend names, Unix times, UTF-8 text).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "norvane/constants.h"

namespace norvane_cli {

// Exit statuses of every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;  // the library refused; its message is on stderr
inline constexpr int kExitUsage = 2;    // the command line is wrong

// OptionDef declares one long option ("--name"); a flag takes no value.
struct OptionDef {
    std::string_view name;  // without the leading "--"
    bool takes_value;
};

// ParsedArgs is a command line split into options and operands.
struct ParsedArgs {
    bool help = false;
    std::vector<std::pair<std::string_view, std::string_view>> options;  // name, value ("" for flags)
    std::vector<std::string_view> operands;

    // value returns the value of an option, if it was given.
    std::optional<std::string_view> value(std::string_view name) const;
    bool has(std::string_view name) const { return value(name).has_value(); }
};

// UsageError is a problem with the command line, described for a person.
struct UsageError {
    std::string message;
};

// ParseResult holds the parsed arguments, or else the usage error.
struct ParseResult {
    std::optional<ParsedArgs> args;
    UsageError error;
};

// parse_args reads the arguments after the command name. Options are long
// ("--name value" or "--name=value"); "-h" and "--help" ask for help; "--"
// ends the options and "-" is an ordinary operand. An argument that starts
// with "-" but names no option is an operand when it contains a ".": a
// token's first field may begin with "-", an option name never holds a ".".
// An option given twice, an unknown option, a missing value and more than
// `max_operands` operands are usage errors. Help wins over every error that
// comes after it on the line.
ParseResult parse_args(std::span<const char* const> argv, std::span<const OptionDef> known,
                       std::size_t max_operands);

// parse_backend accepts the names "aes256gcm" and "xchacha20poly1305",
// which are also the labels of the cipher key derivation.
std::optional<norvane::Backend> parse_backend(std::string_view name) noexcept;
std::string_view backend_name(norvane::Backend backend) noexcept;

// parse_seconds accepts one or more ASCII digits with a value that fits in
// 64 unsigned bits: no sign, no spaces, no separators.
std::optional<std::uint64_t> parse_seconds(std::string_view text) noexcept;

// is_utf8 tells whether text is valid UTF-8.
bool is_utf8(std::string_view text) noexcept;

}  // namespace norvane_cli
