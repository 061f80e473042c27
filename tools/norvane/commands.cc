#include "commands.h"

#include <unistd.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "command_line.h"
#include "norvane/constants.h"
#include "norvane/error.h"
#include "norvane/key.h"
#include "norvane/norvane.h"
#include "norvane/utf8.h"
#include "sys_io.h"
#include "token_info.h"

namespace norvane_cli {
namespace {

constexpr std::string_view kUsage =
    "usage: norvane <command> [options]\n"
    "\n"
    "Mint, open and inspect norvane tokens.\n"
    "\n"
    "commands:\n"
    "  inspect   show what a token reveals to anyone who holds it\n"
    "  mint      mint a token for the data on standard input\n"
    "  open      open a token and write its data to standard output\n"
    "\n"
    "Run 'norvane <command> --help' for the options of a command.\n"
    "Keys are read from an environment variable (--key-env), never from the\n"
    "command line, where other users of the machine could see them.\n"
    "\n"
    "Exit status: 0 success, 1 refused (the reason on standard error),\n"
    "2 usage error.\n";

constexpr std::string_view kInspectHelp =
    "usage: norvane inspect [--json] [TOKEN]\n"
    "\n"
    "Show what anyone who holds TOKEN can read without the key: the backend\n"
    "(from the nonce length), the expiry (Unix seconds and UTC, or never),\n"
    "the purpose and the length of the data. Without TOKEN, or with '-', the\n"
    "token is read from standard input; one trailing line break is ignored.\n"
    "\n"
    "Nothing is verified: only opening the token with its key checks the tag\n"
    "that protects these fields, so a token shown here may still be refused.\n"
    "A malformed token is refused with the error that opening would give.\n"
    "\n"
    "options:\n"
    "  --json       print one JSON object instead of lines of text\n"
    "  -h, --help   show this help\n"
    "\n"
    "Exit status: 0 shown, 1 refused (the reason on standard error),\n"
    "2 usage error.\n";

constexpr std::string_view kMintHelp =
    "usage: norvane mint --backend NAME --key-env VAR [--expires-at T | --ttl SECONDS]\n"
    "                    [--purpose P]\n"
    "\n"
    "Mint a token for the data on standard input and print it on standard\n"
    "output. The data is taken byte for byte (a trailing line break is part of\n"
    "it); it must be UTF-8 and at most 16384 bytes long.\n"
    "\n"
    "options:\n"
    "  --backend NAME     aes256gcm or xchacha20poly1305 (required)\n"
    "  --key-env VAR      the environment variable that holds the key, a 128-bit\n"
    "                     integer in decimal (required)\n"
    "  --expires-at T     the token expires at Unix time T (seconds): it opens up\n"
    "                     to and including second T - 1\n"
    "  --ttl SECONDS      the token expires SECONDS seconds from now\n"
    "  --purpose P        the purpose, 1 to 255 bytes of UTF-8 (default: session)\n"
    "  -h, --help         show this help\n"
    "\n"
    "Without --expires-at or --ttl the token never expires.\n"
    "\n"
    "Exit status: 0 minted, 1 refused (the reason on standard error),\n"
    "2 usage error.\n";

constexpr std::string_view kOpenHelp =
    "usage: norvane open --backend NAME --key-env VAR [--purpose P] [TOKEN]\n"
    "\n"
    "Open TOKEN and write its data to standard output, byte for byte. Without\n"
    "TOKEN, or with '-', the token is read from standard input; one trailing\n"
    "line break is ignored. A token that begins with '-' may be given as it is.\n"
    "\n"
    "options:\n"
    "  --backend NAME     aes256gcm or xchacha20poly1305 (required)\n"
    "  --key-env VAR      the environment variable that holds the key, a 128-bit\n"
    "                     integer in decimal (required)\n"
    "  --purpose P        the purpose the token must have been minted for\n"
    "                     (default: session)\n"
    "  -h, --help         show this help\n"
    "\n"
    "Exit status: 0 opened, 1 refused (the reason on standard error),\n"
    "2 usage error.\n";

void print(int fd, std::string_view text) { (void)write_all(fd, text); }

int usage_error(std::string_view command, std::string_view problem) {
    std::string text = "norvane ";
    text += command;
    text += ": ";
    text += problem;
    text += "\nTry 'norvane ";
    text += command;
    text += " --help'.\n";
    print(STDERR_FILENO, text);
    return kExitUsage;
}

// refused reports an error of the library with its own message and nothing
// else, so that scripts can compare it with the documented texts.
int refused(std::string_view message) {
    std::string text(message);
    text += '\n';
    print(STDERR_FILENO, text);
    return kExitRefused;
}

int refused(norvane::NorvaneError e) { return refused(norvane::message(e)); }

int write_failed() { return refused("norvane: cannot write to standard output"); }

// read_token_operand returns the token from the operand, or from standard
// input (one trailing "\n" or "\r\n" removed) when there is none or it is
// "-". Standard input is read no further than a token can be long, plus the
// line break: anything longer is refused as oversized in any case.
std::optional<std::string> read_token_operand(const ParsedArgs& args) {
    if (!args.operands.empty() && args.operands[0] != "-") {
        return std::string(args.operands[0]);
    }
    const auto input = read_stdin(norvane::MAX_TOKEN_LEN + 2);
    if (!input) {
        return std::nullopt;
    }
    std::string token(input->begin(), input->end());
    if (token.ends_with("\r\n")) {
        token.resize(token.size() - 2);
    } else if (token.ends_with('\n')) {
        token.pop_back();
    }
    return token;
}

// Options common to mint and open.
struct KeyedOptions {
    norvane::Backend backend;
    std::string_view key_env;
};

// keyed_options reads --backend and --key-env; on a usage error it reports
// it and returns nothing.
std::optional<KeyedOptions> keyed_options(std::string_view command, const ParsedArgs& args, int& status) {
    const auto backend_text = args.value("backend");
    if (!backend_text) {
        status = usage_error(command, "--backend is required (aes256gcm or xchacha20poly1305)");
        return std::nullopt;
    }
    const auto backend = parse_backend(*backend_text);
    if (!backend) {
        status = usage_error(command, "unknown backend '" + std::string(*backend_text) +
                                          "' (choose aes256gcm or xchacha20poly1305)");
        return std::nullopt;
    }
    const auto key_env = args.value("key-env");
    if (!key_env) {
        status = usage_error(command, "--key-env is required: the name of the variable that holds the key");
        return std::nullopt;
    }
    return KeyedOptions{*backend, *key_env};
}

// purpose_option reads --purpose into `purpose` (nothing when absent). A
// value that is not UTF-8 is a usage error: it is reported here, and the
// result is false.
bool purpose_option(std::string_view command, const ParsedArgs& args, std::optional<std::string_view>& purpose,
                    int& status) {
    purpose = args.value("purpose");
    if (purpose && !is_utf8(*purpose)) {
        status = usage_error(command, "--purpose must be UTF-8 text");
        return false;
    }
    return true;
}

// make_norvane resolves the key exactly as the Python module's key_env does
// and prepares it; the key itself is wiped when it goes out of scope here.
norvane::Result<norvane::Norvane> make_norvane(const KeyedOptions& options) {
    auto key = norvane::resolve_key(nullptr, options.key_env);
    if (!key) {
        return key.error();
    }
    return norvane::Norvane::create(options.backend, *key);
}

std::string utf8_error_text(const norvane::Utf8Error& error) {
    if (error.error_len == 0) {
        return "incomplete utf-8 byte sequence from index " + std::to_string(error.valid_up_to);
    }
    return "invalid utf-8 sequence of " + std::to_string(error.error_len) + " bytes from index " +
           std::to_string(error.valid_up_to);
}

}  // namespace

void print_usage(int fd) { print(fd, kUsage); }

int run_inspect(std::span<const char* const> argv) {
    static constexpr std::array<OptionDef, 1> known{{{"json", false}}};
    const auto parsed = parse_args(argv, known, 1);
    if (!parsed.args) {
        return usage_error("inspect", parsed.error.message);
    }
    const ParsedArgs& args = *parsed.args;
    if (args.help) {
        print(STDOUT_FILENO, kInspectHelp);
        return kExitOk;
    }
    const auto token = read_token_operand(args);
    if (!token) {
        return refused("norvane: cannot read standard input");
    }
    const auto info = read_token_info(*token);
    if (!info) {
        return refused(info.error());
    }
    const std::string text = args.has("json") ? describe_json(*info) : describe(*info);
    return write_all(STDOUT_FILENO, text) ? kExitOk : write_failed();
}

int run_mint(std::span<const char* const> argv) {
    static constexpr std::array<OptionDef, 5> known{
        {{"backend", true}, {"key-env", true}, {"expires-at", true}, {"ttl", true}, {"purpose", true}}};
    const auto parsed = parse_args(argv, known, 0);
    if (!parsed.args) {
        return usage_error("mint", parsed.error.message);
    }
    const ParsedArgs& args = *parsed.args;
    if (args.help) {
        print(STDOUT_FILENO, kMintHelp);
        return kExitOk;
    }
    int status = kExitUsage;
    const auto keyed = keyed_options("mint", args, status);
    if (!keyed) {
        return status;
    }
    std::optional<std::string_view> purpose;
    if (!purpose_option("mint", args, purpose, status)) {
        return status;
    }
    std::optional<std::uint64_t> expires_at;
    const auto expires_text = args.value("expires-at");
    const auto ttl_text = args.value("ttl");
    if (expires_text && ttl_text) {
        return usage_error("mint", "--expires-at and --ttl exclude each other");
    }
    if (expires_text) {
        // 0 is passed on: minting refuses it with its own message.
        expires_at = parse_seconds(*expires_text);
        if (!expires_at) {
            return usage_error("mint", "--expires-at takes a Unix time in seconds, 1 to 18446744073709551615");
        }
    }
    if (ttl_text) {
        const auto ttl = parse_seconds(*ttl_text);
        if (!ttl || *ttl == 0) {
            return usage_error("mint", "--ttl takes a positive number of seconds");
        }
        const auto now = unix_now();
        if (!now) {
            return refused("norvane: the system clock reads before 1970; use --expires-at");
        }
        if (*ttl > UINT64_MAX - *now) {
            return usage_error("mint", "--ttl reaches past the largest Unix time a token can hold");
        }
        expires_at = *now + *ttl;
    }

    auto box = make_norvane(*keyed);
    if (!box) {
        return refused(box.error());
    }
    const auto data = read_stdin(norvane::MAX_PLAINTEXT_LEN);
    if (!data) {
        return refused("norvane: cannot read standard input");
    }
    if (data->size() > norvane::MAX_PLAINTEXT_LEN) {
        return refused(norvane::NorvaneError::PlaintextTooLong);
    }
    if (const auto bad = norvane::check_utf8(*data)) {
        return refused(utf8_error_text(*bad));
    }
    auto token = box->encrypt(*data, expires_at, purpose);
    if (!token) {
        return refused(token.error());
    }
    token->push_back('\n');
    return write_all(STDOUT_FILENO, *token) ? kExitOk : write_failed();
}

int run_open(std::span<const char* const> argv) {
    static constexpr std::array<OptionDef, 3> known{{{"backend", true}, {"key-env", true}, {"purpose", true}}};
    const auto parsed = parse_args(argv, known, 1);
    if (!parsed.args) {
        return usage_error("open", parsed.error.message);
    }
    const ParsedArgs& args = *parsed.args;
    if (args.help) {
        print(STDOUT_FILENO, kOpenHelp);
        return kExitOk;
    }
    int status = kExitUsage;
    const auto keyed = keyed_options("open", args, status);
    if (!keyed) {
        return status;
    }
    std::optional<std::string_view> purpose;
    if (!purpose_option("open", args, purpose, status)) {
        return status;
    }
    auto box = make_norvane(*keyed);
    if (!box) {
        return refused(box.error());
    }
    const auto token = read_token_operand(args);
    if (!token) {
        return refused("norvane: cannot read standard input");
    }
    // Before 1970 every token with an expiry counts as expired, as in the
    // Python module.
    const std::uint64_t at = unix_now().value_or(UINT64_MAX);
    const auto plaintext = box->decrypt_for_at(*token, purpose.value_or(norvane::DEFAULT_PURPOSE), at);
    if (!plaintext) {
        return refused(plaintext.error());
    }
    return write_all(STDOUT_FILENO, norvane::ByteView(*plaintext)) ? kExitOk : write_failed();
}

}  // namespace norvane_cli
