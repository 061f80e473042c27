#include "key_env.h"

#include <algorithm>
#include <cstdlib>

#include "norvane/key.h"

namespace norvane_cli {
namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

bool is_hex_digit(char c) noexcept { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// An optional "+" and one or more ASCII digits: what the core parses.
bool is_decimal(std::string_view text) noexcept {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
    }
    return !text.empty() && std::all_of(text.begin(), text.end(), is_digit);
}

// A name is shown only when it reads as a variable's name in a shell: a
// letter or "_", then letters, digits and "_", and no key.
bool is_shown_name(std::string_view name) noexcept {
    constexpr std::size_t kMaxShown = 128;
    auto word = [](char c) { return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; };
    return !name.empty() && name.size() <= kMaxShown && !is_digit(name.front()) &&
           std::all_of(name.begin(), name.end(), word) && !looks_like_key(name);
}

}  // namespace

bool looks_like_key(std::string_view name) noexcept {
    constexpr std::size_t kMinHexDigits = 16;
    if (is_decimal(name)) {
        return true;
    }
    if (name.starts_with("0x") || name.starts_with("0X")) {
        name.remove_prefix(2);
    }
    return name.size() >= kMinHexDigits && std::all_of(name.begin(), name.end(), is_hex_digit);
}

std::optional<KeyEnvProblem> check_key_env(std::string_view name, std::size_t position) {
    using Kind = KeyEnvProblem::Kind;
    const std::string at = " at position " + std::to_string(position);
    if (name.empty()) {
        return KeyEnvProblem{Kind::Usage, "--key-env needs the name of the environment variable that holds the key"};
    }
    if (name.find('=') != std::string_view::npos) {
        return KeyEnvProblem{Kind::Usage, "the name given to --key-env" + at + " holds '=', which no variable's name can: give "
                                              "the name alone"};
    }
    const std::string variable = is_shown_name(name) ? "environment variable " + std::string(name)
                                                     : "the environment variable that --key-env names" + at;
    // getenv's result points into the environment: the value is looked at
    // in place, never copied, and never shown.
    const std::string name_z(name);
    const char* found = std::getenv(name_z.c_str());
    if (found == nullptr) {
        if (looks_like_key(name)) {
            return KeyEnvProblem{Kind::Usage, "--key-env takes the name of an environment variable, and the one" + at +
                                                  " looks like a key: export the key in a variable and give "
                                                  "the variable's name"};
        }
        return KeyEnvProblem{Kind::Environment, variable + " is not set"};
    }
    const std::string_view value(found);
    const std::string make_one = " (make a key with 'norvane keygen')";
    if (value.empty()) {
        return KeyEnvProblem{Kind::Environment, variable + " is empty" + make_one};
    }
    if (is_space(value.front()) || is_space(value.back())) {
        return KeyEnvProblem{Kind::Environment,
                             variable + " has white space around the key (a trailing line break?): a key is "
                                        "decimal digits alone"};
    }
    if (!is_decimal(value)) {
        return KeyEnvProblem{Kind::Environment, variable + " does not hold a key in decimal digits" + make_one};
    }
    // The grammar holds, so the core's own parser refuses only a value too
    // large; the key it returns is wiped as it goes.
    if (!norvane::parse_decimal_key(value)) {
        return KeyEnvProblem{Kind::Environment, variable + " holds a number of 2**128 or more, too large for a "
                                                           "128-bit key" + make_one};
    }
    return std::nullopt;
}

}  // namespace norvane_cli
