#include "command_line.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "norvane/utf8.h"

namespace norvane_cli {
namespace {

const OptionDef* find_option(std::span<const OptionDef> known, std::string_view name) noexcept {
    const auto it = std::find_if(known.begin(), known.end(), [&](const OptionDef& o) { return o.name == name; });
    return it == known.end() ? nullptr : &*it;
}

std::string quoted(std::string_view text) {
    std::string out = "'";
    out.append(text);
    out += '\'';
    return out;
}

}  // namespace

std::optional<std::string_view> ParsedArgs::value(std::string_view name) const {
    for (const auto& [n, v] : options) {
        if (n == name) {
            return v;
        }
    }
    return std::nullopt;
}

std::vector<std::string_view> ParsedArgs::values(std::string_view name) const {
    std::vector<std::string_view> found;
    for (const auto& [n, v] : options) {
        if (n == name) {
            found.push_back(v);
        }
    }
    return found;
}

std::string shown(std::string_view argument, std::string_view fallback) {
    // At most 24 characters of letters, digits, "-" and "_": no token (it has
    // two "."s and 58 characters at least) and, but for a chance of 10^-14,
    // no decimal 128-bit key.
    constexpr std::size_t kMaxShown = 24;
    const bool plain = !argument.empty() && argument.size() <= kMaxShown &&
                       std::all_of(argument.begin(), argument.end(), [](char c) {
                           return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                                  c == '-' || c == '_';
                       });
    return plain ? quoted(argument) : std::string(fallback);
}

std::string at_position(std::size_t position) {
    return "at position " + std::to_string(position) + " (not shown, as it may be a token)";
}

ParseResult parse_args(std::span<const char* const> argv, std::span<const OptionDef> known,
                       std::size_t max_operands, std::size_t first_position) {
    ParsedArgs parsed;
    std::optional<UsageError> first_error;
    auto fail = [&](std::string message) {
        if (!first_error) {
            first_error = UsageError{std::move(message)};
        }
    };

    bool options_ended = false;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string_view arg = argv[i];
        const std::size_t position = first_position + i;
        auto add_operand = [&] {
            if (parsed.operands.size() == max_operands) {
                fail("unexpected argument " + at_position(position));
            } else {
                parsed.operands.push_back(arg);
            }
        };
        const bool looks_like_option = arg.size() > 1 && arg[0] == '-';
        if (options_ended || !looks_like_option) {
            add_operand();
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            if (!first_error) {
                parsed.help = true;
                return {std::move(parsed), {}};
            }
            continue;
        }
        const bool is_long = arg.starts_with("--");
        const std::string_view body = is_long ? arg.substr(2) : std::string_view{};
        const std::size_t eq = body.find('=');
        const std::string_view name = body.substr(0, eq);
        const OptionDef* option = is_long ? find_option(known, name) : nullptr;
        if (option == nullptr) {
            if (arg.find('.') != std::string_view::npos) {
                add_operand();  // a token whose first field begins with "-"
            } else {
                fail("unknown option " +
                     shown(is_long ? arg.substr(0, 2 + name.size()) : arg, at_position(position)));
            }
            continue;
        }
        std::string_view value;
        if (option->takes_value) {
            if (eq != std::string_view::npos) {
                value = body.substr(eq + 1);
            } else if (i + 1 < argv.size()) {
                value = argv[++i];
            } else {
                fail("option " + quoted(arg) + " needs a value");
                continue;
            }
        } else if (eq != std::string_view::npos) {
            fail("option " + quoted("--" + std::string(name)) + " takes no value");
            continue;
        }
        if (!option->repeatable && parsed.has(option->name)) {
            fail("option " + quoted("--" + std::string(option->name)) + " is given more than once");
            continue;
        }
        parsed.options.emplace_back(option->name, value);
    }
    if (first_error) {
        return {std::nullopt, std::move(*first_error)};
    }
    return {std::move(parsed), {}};
}

std::string backend_choices() {
    std::string out;
    for (std::size_t i = 0; i < norvane::BACKENDS.size(); ++i) {
        if (i > 0) {
            out += i + 1 == norvane::BACKENDS.size() ? " or " : ", ";
        }
        out += norvane::backend_name(norvane::BACKENDS[i]);
    }
    return out;
}

std::string with_backend_choices(std::string_view text) {
    static constexpr std::string_view placeholder = "{backends}";
    std::string out;
    for (std::size_t at = text.find(placeholder); at != std::string_view::npos; at = text.find(placeholder)) {
        out += text.substr(0, at);
        out += backend_choices();
        text.remove_prefix(at + placeholder.size());
    }
    out += text;
    return out;
}

ParsedSeconds parse_seconds(std::string_view text) noexcept {
    using Status = ParsedSeconds::Status;
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return {Status::NotANumber, 0};
    }
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc::result_out_of_range) {
        return {Status::TooLarge, 0};
    }
    if (ec != std::errc{} || end != text.data() + text.size()) {
        return {Status::NotANumber, 0};
    }
    return {Status::Ok, value};
}

bool is_utf8(std::string_view text) noexcept {
    return norvane::is_valid_utf8(
        norvane::ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace norvane_cli
