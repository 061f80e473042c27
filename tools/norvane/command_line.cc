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
    for (const Option& option : options) {
        if (option.name == name) {
            return option.value;
        }
    }
    return std::nullopt;
}

std::vector<Option> ParsedArgs::all(std::string_view name) const {
    std::vector<Option> found;
    for (const Option& option : options) {
        if (option.name == name) {
            found.push_back(option);
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
    auto fail = [](std::string message) { return ParseResult{std::nullopt, UsageError{std::move(message)}}; };
    auto is_help = [](std::string_view arg) { return arg == "-h" || arg == "--help"; };

    if (argv.size() == 1 && is_help(argv[0])) {
        parsed.help = true;
        return {std::move(parsed), {}};
    }
    // Whether the options have ended, and how: by "--" or by the first operand.
    enum class Ended { No, ByDashes, ByOperand } ended = Ended::No;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string_view arg = argv[i];
        const std::size_t position = first_position + i;
        const bool looks_like_option = arg.size() > 1 && arg[0] == '-';
        if (ended != Ended::No || !looks_like_option) {
            if (parsed.operands.size() == max_operands) {
                std::string message = "unexpected argument " + at_position(position);
                if (ended == Ended::ByOperand && looks_like_option) {
                    message += "; options go before the operand";
                }
                return fail(std::move(message));
            }
            parsed.operands.push_back(arg);
            if (ended == Ended::No) {
                ended = Ended::ByOperand;
            }
            continue;
        }
        if (arg == "--") {
            ended = Ended::ByDashes;
            continue;
        }
        if (is_help(arg)) {
            return fail("option " + quoted(arg) + " is accepted only as the only argument, to ask for help");
        }
        const bool is_long = arg.starts_with("--");
        const std::string_view body = is_long ? arg.substr(2) : std::string_view{};
        const std::size_t eq = body.find('=');
        const std::string_view name = body.substr(0, eq);
        const OptionDef* option = is_long ? find_option(known, name) : nullptr;
        if (option == nullptr) {
            std::string message =
                "unknown option " + shown(is_long ? arg.substr(0, 2 + name.size()) : arg, at_position(position));
            if (arg.find('.') != std::string_view::npos) {
                message += "; a token that begins with '-' goes after '--'";
            }
            return fail(std::move(message));
        }
        std::string_view value;
        std::size_t value_position = position;
        if (option->takes_value) {
            if (eq != std::string_view::npos) {
                value = body.substr(eq + 1);
            } else if (i + 1 < argv.size()) {
                value = argv[++i];
                ++value_position;
            } else {
                return fail("option " + quoted(arg) + " needs a value");
            }
        } else if (eq != std::string_view::npos) {
            return fail("option " + quoted("--" + std::string(name)) + " takes no value");
        }
        if (!option->repeatable && parsed.has(option->name)) {
            return fail("option " + quoted("--" + std::string(option->name)) + " is given more than once");
        }
        parsed.options.push_back({option->name, value, value_position});
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
