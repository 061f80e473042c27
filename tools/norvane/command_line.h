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

#include "norvane/backend.h"
#include "norvane/constants.h"

namespace norvane_cli {

// Exit statuses of every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;  // the library refused; its message is on stderr
inline constexpr int kExitUsage = 2;    // the command line is wrong

// OptionDef declares one long option ("--name"); a flag takes no value. A
// repeatable option may be given more than once and keeps every value.
struct OptionDef {
    std::string_view name;  // without the leading "--"
    bool takes_value;
    bool repeatable = false;
};

// Option is one option as given: its name, its value ("" for a flag) and
// the position of the value (or of the flag) on the whole command line, by
// which messages name a value they must not show.
struct Option {
    std::string_view name;
    std::string_view value;
    std::size_t position;
};

// ParsedArgs is a command line split into options and operands.
struct ParsedArgs {
    bool help = false;
    std::vector<Option> options;
    std::vector<std::string_view> operands;

    // value returns the (first) value of an option, if it was given;
    // all returns every occurrence in the order given.
    std::optional<std::string_view> value(std::string_view name) const;
    std::vector<Option> all(std::string_view name) const;
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

// parse_args reads the arguments after the command name as getopt does, so
// that text from elsewhere (a token) can be put on the line safely:
// - "-h" or "--help" asks for help only as the only argument; anywhere else
//   it is a usage error, so that it cannot turn a refusal into success;
// - options are long ("--name value" or "--name=value"; a value may begin
//   with "-") and come first: the first operand ends them, and so does "--";
//   after that everything is an operand, whatever its first character;
// - "-" is an ordinary operand.
// The first problem found is the usage error: an unknown option, an option
// given twice (unless repeatable), a missing value, a value given to a flag,
// or more than `max_operands` operands. `first_position` is the position of
// argv[0] on the whole command line: an argument that may be a token is
// named in messages by its position, never shown.
ParseResult parse_args(std::span<const char* const> argv, std::span<const OptionDef> known,
                       std::size_t max_operands, std::size_t first_position);

// shown returns an argument in single quotes when it is short and plain
// enough to be a command, option or backend name, which a token or a key
// never is; otherwise `fallback`. Messages show arguments only through it.
std::string shown(std::string_view argument, std::string_view fallback);

// at_position is the fallback for an argument that is not shown.
std::string at_position(std::size_t position);

// backend_choices lists the backends' names for messages and help texts,
// as "a or b" ("a, b or c" for three).
std::string backend_choices();

// with_backend_choices returns a help text with every "{backends}" in it
// replaced by backend_choices().
std::string with_backend_choices(std::string_view text);

// parse_seconds accepts one or more ASCII digits with a value that fits in
// 64 unsigned bits: no sign, no spaces, no separators. Digits of a larger
// value are TooLarge, anything else NotANumber.
struct ParsedSeconds {
    enum class Status { Ok, NotANumber, TooLarge };
    Status status;
    std::uint64_t value;  // when Ok
};
ParsedSeconds parse_seconds(std::string_view text) noexcept;

// is_utf8 tells whether text is valid UTF-8.
bool is_utf8(std::string_view text) noexcept;

}  // namespace norvane_cli
