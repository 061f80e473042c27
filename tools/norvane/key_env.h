// key_env.h - what is wrong with a key's environment variable, said in
// words a person can act on.
//
// The core refuses every problem with a key's variable with one message,
// "the value of key_env is invalid", which names nothing: neither the
// variable nor the value. The tool looks first and says which mistake it is,
// naming the variable (a name is not a secret) but never showing its value.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace norvane_cli {

// KeyEnvProblem is one mistake: of the command line (the name given to
// --key-env; exit status 2) or of the environment (the variable's value;
// status 1).
struct KeyEnvProblem {
    enum class Kind { Usage, Environment };
    Kind kind;
    std::string message;  // without the "norvane: " or "norvane COMMAND: " prefix
};

// check_key_env looks at the variable `name`, given to --key-env as the
// argument at `position` on the command line, and returns the first problem
// it finds, in this order: a name that is empty or holds "=" (which no
// variable's name can hold; the C library would read the tail of another
// variable's value); a variable that is not set (or a key given where its
// variable's name belongs); an empty value; white space around the value; a
// value that is not an optional "+" and decimal digits; a value of 2**128 or
// more. Nothing means that the core reads the same variable as a valid key.
std::optional<KeyEnvProblem> check_key_env(std::string_view name, std::size_t position);

// looks_like_key tells whether a variable's name is a key's value instead:
// a decimal number, or 16 or more hexadecimal digits. Such a name is a
// secret and is never shown.
bool looks_like_key(std::string_view name) noexcept;

}  // namespace norvane_cli
