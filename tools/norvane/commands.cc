#include "commands.h"

#include <unistd.h>

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "command_line.h"
#include "key_env.h"
#include "norvane/backend.h"
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
    "Mint, open, inspect and rotate norvane tokens, and make keys.\n"
    "\n"
    "commands:\n"
    "  inspect   show what a token reveals to anyone who holds it\n"
    "  keygen    print a fresh random key in decimal\n"
    "  mint      mint a token for the data on standard input\n"
    "  open      open a token and write its data to standard output\n"
    "  rotate    open a token and mint its data again under the first key\n"
    "\n"
    "Run 'norvane <command> --help' for the options of a command. Options\n"
    "come before the operand; give a token from elsewhere on standard input\n"
    "('-') or after '--', so that it is never read as an option.\n"
    "Keys are read from an environment variable (--key-env), never from the\n"
    "command line, where other users of the machine could see them.\n"
    "\n"
    "Exit status: 0 success, 1 refused (the reason on standard error),\n"
    "2 usage error.\n";

constexpr std::string_view kInspectHelp =
    "usage: norvane inspect [--json] [--] TOKEN\n"
    "\n"
    "Show what anyone who holds TOKEN can read without the key: the backend\n"
    "(from the nonce length), the expiry (Unix seconds and UTC, or never, and\n"
    "whether it has passed), the purpose and the length of the data. With '-'\n"
    "for TOKEN the token is read from standard input; one trailing line break\n"
    "is ignored. Give a token from elsewhere on standard input or after '--'.\n"
    "\n"
    "Nothing is verified: only opening the token with its key checks the tag\n"
    "that protects these fields, so a token shown here may still be refused.\n"
    "A malformed token is refused with the error that opening would give.\n"
    "\n"
    "options:\n"
    "  --json       print one JSON object instead of lines of text\n"
    "  -h, --help   show this help (given alone)\n"
    "\n"
    "Exit status: 0 shown, 1 refused (the reason on standard error),\n"
    "2 usage error.\n";

constexpr std::string_view kKeygenHelp =
    "usage: norvane keygen\n"
    "\n"
    "Print a fresh 128-bit key from the operating system's randomness, in\n"
    "decimal and followed by a line break: the form that --key-env and the\n"
    "Python module's key_env read. Keep it where your other secrets live:\n"
    "\n"
    "  export APP_TOKEN_KEY=\"$(norvane keygen)\"\n"
    "\n"
    "options:\n"
    "  -h, --help   show this help (given alone)\n"
    "\n"
    "Exit status: 0 printed, 1 failed (the reason on standard error),\n"
    "2 usage error.\n";

constexpr std::string_view kMintHelp =
    "usage: norvane mint --backend NAME --key-env VAR [--expires-at T | --ttl SECONDS]\n"
    "                    [--purpose P] [--allow-empty]\n"
    "\n"
    "Mint a token for the data on standard input and print it on standard\n"
    "output. The data is taken byte for byte (a trailing line break is part of\n"
    "it); it must be UTF-8 and at most 16384 bytes long.\n"
    "\n"
    "options:\n"
    "  --backend NAME     {backends} (required)\n"
    "  --key-env VAR      the environment variable that holds the key, a 128-bit\n"
    "                     integer in decimal (required)\n"
    "  --expires-at T     the token expires at Unix time T (seconds, at least 1):\n"
    "                     it opens up to and including second T - 1\n"
    "  --ttl SECONDS      the token expires SECONDS seconds from now\n"
    "  --purpose P        the purpose, 1 to 255 bytes of UTF-8 (default: session)\n"
    "  --allow-empty      mint a token even when standard input is empty\n"
    "  -h, --help         show this help (given alone)\n"
    "\n"
    "Without --expires-at or --ttl the token never expires. Empty standard\n"
    "input is refused without --allow-empty, so that a forgotten pipe does not\n"
    "mint a token for no data.\n"
    "\n"
    "Exit status: 0 minted, 1 refused (the reason on standard error),\n"
    "2 usage error.\n";

constexpr std::string_view kOpenHelp =
    "usage: norvane open --backend NAME --key-env VAR [--key-env VAR]...\n"
    "                    [--purpose P] [--] TOKEN\n"
    "\n"
    "Open TOKEN and write its data to standard output, byte for byte. With '-'\n"
    "for TOKEN the token is read from standard input; one trailing line break\n"
    "is ignored. Options come before TOKEN: give a token from elsewhere on\n"
    "standard input or after '--', so that it is never read as an option.\n"
    "\n"
    "options:\n"
    "  --backend NAME     {backends} (required)\n"
    "  --key-env VAR      the environment variable that holds the key, a 128-bit\n"
    "                     integer in decimal (required); given again, an older\n"
    "                     key that may have minted the token\n"
    "  --purpose P        the purpose the token must have been minted for\n"
    "                     (default: session)\n"
    "  -h, --help         show this help (given alone)\n"
    "\n"
    "Several keys are tried in the order given. Only \"the data has been\n"
    "modified\", which a token minted under another key gets, moves on to the\n"
    "next key; every other refusal is final.\n"
    "\n"
    "Exit status: 0 opened, 1 refused (the reason on standard error),\n"
    "2 usage error.\n";

constexpr std::string_view kRotateHelp =
    "usage: norvane rotate --backend NAME --key-env VAR [--key-env VAR]...\n"
    "                      [--purpose P] [--] TOKEN\n"
    "\n"
    "Open TOKEN with any of the keys, as 'norvane open' does, and mint its data\n"
    "again under the first key, with the same expiry and purpose; print the\n"
    "new token and a line break. With '-' for TOKEN the token is read from\n"
    "standard input; one trailing line break is ignored. Give a token from\n"
    "elsewhere on standard input or after '--'.\n"
    "\n"
    "options:\n"
    "  --backend NAME     {backends} (required)\n"
    "  --key-env VAR      the environment variable that holds the key to mint\n"
    "                     under (required); given again, an older key that may\n"
    "                     have minted the token\n"
    "  --purpose P        the purpose the token was minted for (default: session)\n"
    "  -h, --help         show this help (given alone)\n"
    "\n"
    "Exit status: 0 rotated, 1 refused (the reason on standard error),\n"
    "2 usage error.\n";

void print(int fd, std::string_view text) { (void)write_all(fd, text); }

constexpr std::uint64_t kLatestExpiry = std::numeric_limits<std::uint64_t>::max();

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

// refused reports an error of the library with its own message alone on
// the first line, so that scripts can compare that line with the documented
// texts; a hint for a person, when there is one, follows on a second line.
int refused(std::string_view message, std::string_view hint = {}) {
    std::string text(message);
    text += '\n';
    if (!hint.empty()) {
        text += "hint: ";
        text += hint;
        text += '\n';
    }
    print(STDERR_FILENO, text);
    return kExitRefused;
}

int refused(norvane::NorvaneError e, std::string_view hint = {}) { return refused(norvane::message(e), hint); }

int write_failed() { return refused("norvane: cannot write to standard output"); }

// output writes a command's whole result to standard output; a failed write
// (a full disk, a closed descriptor) is a failure of the command.
int output(std::string_view text) { return write_all(STDOUT_FILENO, text) ? kExitOk : write_failed(); }

constexpr std::string_view kMissingToken =
    "TOKEN is missing: give the token after '--', or '-' to read it from standard input";

// TokenInput is the token text as read, and where it came from.
struct TokenInput {
    std::string text;
    bool from_operand;
};

// read_token returns the token from the operand, or from standard input (one
// trailing "\n" or "\r\n" removed) when the operand is "-". The caller has
// made sure that there is an operand: a token is never read from standard
// input by default, so that an option put where the token belongs (a token
// from elsewhere that reads as one) leaves the command without its operand
// instead of changing what it does. Standard input is read no further than a
// token can be long, plus the line break: anything longer is refused as
// oversized in any case.
std::optional<TokenInput> read_token(const ParsedArgs& args) {
    if (args.operands.at(0) != "-") {
        return TokenInput{std::string(args.operands[0]), true};
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
    return TokenInput{std::move(token), false};
}

// malformed_hint is for a token operand refused before any key was used:
// a file's name given where the token's text belongs. The name is looked up
// but never shown.
std::string_view malformed_hint(const TokenInput& token) {
    if (token.from_operand && names_a_file(token.text)) {
        return "TOKEN is the token's text; to read it from a file use - < FILE";
    }
    return {};
}

// open_hint says what a person may try after opening refused a token with
// `error` under every key given.
std::string open_hint(norvane::NorvaneError error, const TokenInput& token, norvane::Backend backend) {
    using norvane::NorvaneError;
    switch (error) {
        case NorvaneError::Tampered:
            return "the token may have been modified, or minted under a key not given with --key-env";
        case NorvaneError::WrongPurpose:
            return "the token may have been minted for another purpose: try --purpose (norvane inspect shows "
                   "the token's)";
        case NorvaneError::InvalidToken:
            // The nonce length of the other backend is refused before the
            // tag is checked: say which backend the token's nonce fits.
            if (const auto info = read_token_info(token.text); info && info->backend != backend) {
                return "the token may have been minted with the other --backend: try --backend " +
                       std::string(norvane::backend_name(info->backend));
            }
            return std::string(malformed_hint(token));
        case NorvaneError::InvalidBase64:
            return std::string(malformed_hint(token));
        default:
            return {};
    }
}

// Options common to the commands that need keys. The first --key-env is the
// key to mint under; open and rotate accept older ones after it.
struct KeyedOptions {
    norvane::Backend backend;
    std::vector<Option> key_envs;  // never empty
};

// keyed_options reads --backend and --key-env; on a usage error it reports
// it and returns nothing.
std::optional<KeyedOptions> keyed_options(std::string_view command, const ParsedArgs& args, int& status) {
    const auto backend_text = args.value("backend");
    if (!backend_text) {
        status = usage_error(command, "--backend is required (" + backend_choices() + ")");
        return std::nullopt;
    }
    const auto backend = norvane::backend_named(*backend_text);
    if (!backend) {
        status = usage_error(command, "unknown backend " + shown(*backend_text, "(not shown)") +
                                          " (choose " + backend_choices() + ")");
        return std::nullopt;
    }
    auto key_envs = args.all("key-env");
    if (key_envs.empty()) {
        status = usage_error(command, "--key-env is required: the name of the variable that holds the key");
        return std::nullopt;
    }
    return KeyedOptions{*backend, std::move(key_envs)};
}

// purpose_option reads --purpose into `purpose` (nothing when absent). A
// value that is not UTF-8 is a usage error, and so is an empty one where a
// token is minted: it is reported here, and the result is false. Opening
// takes an empty purpose as it is (it matches no token minted by 3.0).
bool purpose_option(std::string_view command, const ParsedArgs& args, bool mints,
                    std::optional<std::string_view>& purpose, int& status) {
    purpose = args.value("purpose");
    if (purpose && !is_utf8(*purpose)) {
        status = usage_error(command, "--purpose must be UTF-8 text");
        return false;
    }
    if (purpose && purpose->empty() && mints) {
        status = usage_error(command, "--purpose must not be empty; leave it out for the default, session");
        return false;
    }
    return true;
}

// make_norvanes reads every key, in the order given, exactly as the Python
// module's key_env does, and prepares it; the keys themselves are wiped when
// they go out of scope here. Each variable is looked at first, so that a
// mistake is reported as what it is (an unset variable, a value with a line
// break, ...) rather than as the core's one message for all of them, which
// remains for a variable changed in between. On failure the exit status is
// in `status`.
std::optional<std::vector<norvane::Norvane>> make_norvanes(std::string_view command, const KeyedOptions& options,
                                                           int& status) {
    for (const Option& key_env : options.key_envs) {
        if (const auto problem = check_key_env(key_env.value, key_env.position)) {
            status = problem->kind == KeyEnvProblem::Kind::Usage ? usage_error(command, problem->message)
                                                                 : refused("norvane: " + problem->message);
            return std::nullopt;
        }
    }
    std::vector<norvane::Norvane> boxes;
    boxes.reserve(options.key_envs.size());
    for (const Option& key_env : options.key_envs) {
        auto key = norvane::resolve_key(nullptr, key_env.value);
        if (!key) {
            status = refused(key.error());
            return std::nullopt;
        }
        boxes.push_back(norvane::Norvane::create(options.backend, *key));
    }
    return boxes;
}

// open_with_any opens a token with each key in turn. A token minted under
// another key fails the tag check, so only Tampered moves on to the next
// key; every other refusal would be the same under every key.
norvane::Result<norvane::Bytes> open_with_any(const std::vector<norvane::Norvane>& boxes, std::string_view token,
                                              std::string_view purpose, std::uint64_t at) {
    for (std::size_t i = 0;; ++i) {
        auto plaintext = boxes[i].decrypt_for_at(token, purpose, at);
        if (plaintext || plaintext.error() != norvane::NorvaneError::Tampered || i + 1 == boxes.size()) {
            return plaintext;
        }
    }
}

std::string utf8_error_text(const norvane::Utf8Error& error) {
    if (error.error_len == 0) {
        return "incomplete utf-8 byte sequence from index " + std::to_string(error.valid_up_to);
    }
    return "invalid utf-8 sequence of " + std::to_string(error.error_len) + " bytes from index " +
           std::to_string(error.valid_up_to);
}

// KeyText is a key in decimal followed by a line break, wiped when released.
// It always divides 39 times, whatever the key.
class KeyText {
public:
    explicit KeyText(const norvane::Key& key) noexcept {
        std::array<std::uint32_t, 4> limbs{};  // most significant first
        for (std::size_t i = 0; i < key.size(); ++i) {
            limbs[i / 4] = (limbs[i / 4] << 8) | key[i];
        }
        for (std::size_t digit = kDigits; digit-- > 0;) {
            std::uint64_t remainder = 0;
            for (auto& limb : limbs) {
                const std::uint64_t part = (remainder << 32) | limb;
                limb = static_cast<std::uint32_t>(part / 10);
                remainder = part % 10;
            }
            text_[digit] = static_cast<char>('0' + remainder);
        }
        norvane::secure_wipe(limbs.data(), sizeof limbs);
        text_[kDigits] = '\n';
        while (start_ + 1 < kDigits && text_[start_] == '0') {
            ++start_;
        }
    }
    KeyText(const KeyText&) = delete;
    KeyText& operator=(const KeyText&) = delete;
    ~KeyText() { norvane::secure_wipe(text_.data(), text_.size()); }

    std::string_view view() const noexcept { return {text_.data() + start_, text_.size() - start_}; }

private:
    static constexpr std::size_t kDigits = 39;  // 2^128 - 1 has 39 decimal digits
    std::array<char, kDigits + 1> text_{};
    std::size_t start_ = 0;
};

// run_keyed_open parses the command line of open and rotate, which take the
// same options, and opens the token. On success `opened` holds the keys and
// the plaintext; otherwise the exit status is returned.
struct Opened {
    std::vector<norvane::Norvane> boxes;
    std::string token;
    std::string_view purpose;
    norvane::Bytes plaintext;
};

std::optional<int> run_keyed_open(std::string_view command, std::string_view help,
                                  std::span<const char* const> argv, std::optional<Opened>& opened) {
    static constexpr std::array<OptionDef, 3> known{
        {{"backend", true}, {"key-env", true, /*repeatable=*/true}, {"purpose", true}}};
    const auto parsed = parse_args(argv, known, 1, 2);
    if (!parsed.args) {
        return usage_error(command, parsed.error.message);
    }
    const ParsedArgs& args = *parsed.args;
    if (args.help) {
        return output(with_backend_choices(help));
    }
    if (args.operands.empty()) {
        return usage_error(command, kMissingToken);
    }
    int status = kExitUsage;
    const auto keyed = keyed_options(command, args, status);
    if (!keyed) {
        return status;
    }
    std::optional<std::string_view> purpose;
    if (!purpose_option(command, args, /*mints=*/command == "rotate", purpose, status)) {
        return status;
    }
    auto boxes = make_norvanes(command, *keyed, status);
    if (!boxes) {
        return status;
    }
    auto token = read_token(args);
    if (!token) {
        return refused("norvane: cannot read standard input");
    }
    // Before 1970 every token with an expiry counts as expired, as in the
    // Python module.
    const std::uint64_t at = unix_now().value_or(UINT64_MAX);
    const std::string_view expected = purpose.value_or(norvane::DEFAULT_PURPOSE);
    auto plaintext = open_with_any(*boxes, token->text, expected, at);
    if (!plaintext) {
        return refused(plaintext.error(), open_hint(plaintext.error(), *token, keyed->backend));
    }
    opened = Opened{std::move(*boxes), std::move(token->text), expected, std::move(*plaintext)};
    return std::nullopt;
}

}  // namespace

bool print_usage(int fd) { return write_all(fd, kUsage); }

// takes_no_arguments reports the arguments after a request for the overview
// or the version, which is what it is only when nothing follows it.
int takes_no_arguments(std::string_view request) {
    print(STDERR_FILENO, "norvane: " + std::string(request) + " takes no arguments; unexpected argument " +
                             at_position(2) + "\nTry 'norvane --help'.\n");
    return kExitUsage;
}

int run_help(std::string_view request, std::span<const char* const> argv) {
    if (!argv.empty()) {
        return takes_no_arguments(request);
    }
    return print_usage(STDOUT_FILENO) ? kExitOk : write_failed();
}

int run_version(std::span<const char* const> argv) {
    if (!argv.empty()) {
        return takes_no_arguments("--version");
    }
    return output("norvane " NORVANE_VERSION "\n");
}

int unknown_command(std::string_view command) {
    print(STDERR_FILENO, "norvane: unknown command " + shown(command, "(not shown, as it may be a token)") + "\n\n");
    print_usage(STDERR_FILENO);
    return kExitUsage;
}

int run_inspect(std::span<const char* const> argv) {
    static constexpr std::array<OptionDef, 1> known{{{"json", false}}};
    const auto parsed = parse_args(argv, known, 1, 2);
    if (!parsed.args) {
        return usage_error("inspect", parsed.error.message);
    }
    const ParsedArgs& args = *parsed.args;
    if (args.help) {
        return output(kInspectHelp);
    }
    if (args.operands.empty()) {
        return usage_error("inspect", kMissingToken);
    }
    const auto token = read_token(args);
    if (!token) {
        return refused("norvane: cannot read standard input");
    }
    const auto info = read_token_info(token->text);
    if (!info) {
        return refused(info.error(), malformed_hint(*token));
    }
    // The clock is judged as opening judges it: before 1970, every expiry has
    // passed.
    const std::uint64_t now = unix_now().value_or(UINT64_MAX);
    return output(args.has("json") ? describe_json(*info, now) : describe(*info, now));
}

int run_keygen(std::span<const char* const> argv) {
    const auto parsed = parse_args(argv, {}, 0, 2);
    if (!parsed.args) {
        return usage_error("keygen", parsed.error.message);
    }
    if (parsed.args->help) {
        return output(kKeygenHelp);
    }
    norvane::Key key;
    if (!fill_os_random(std::span<std::uint8_t>(key.data(), key.size()))) {
        return refused(norvane::NorvaneError::RandomnessUnavailable);
    }
    const KeyText text(key);
    return output(text.view());
}

int run_mint(std::span<const char* const> argv) {
    static constexpr std::array<OptionDef, 6> known{{{"backend", true},
                                                     {"key-env", true},
                                                     {"expires-at", true},
                                                     {"ttl", true},
                                                     {"purpose", true},
                                                     {"allow-empty", false}}};
    const auto parsed = parse_args(argv, known, 0, 2);
    if (!parsed.args) {
        return usage_error("mint", parsed.error.message);
    }
    const ParsedArgs& args = *parsed.args;
    if (args.help) {
        return output(with_backend_choices(kMintHelp));
    }
    int status = kExitUsage;
    const auto keyed = keyed_options("mint", args, status);
    if (!keyed) {
        return status;
    }
    std::optional<std::string_view> purpose;
    if (!purpose_option("mint", args, /*mints=*/true, purpose, status)) {
        return status;
    }
    using Status = ParsedSeconds::Status;
    const std::string latest = std::to_string(kLatestExpiry);
    std::optional<std::uint64_t> expires_at;
    const auto expires_text = args.value("expires-at");
    const auto ttl_text = args.value("ttl");
    if (expires_text && ttl_text) {
        return usage_error("mint", "--expires-at and --ttl exclude each other");
    }
    if (expires_text) {
        const auto seconds = parse_seconds(*expires_text);
        if (seconds.status == Status::NotANumber) {
            return usage_error("mint", "--expires-at takes a Unix time in seconds, 1 to " + latest);
        }
        if (seconds.status == Status::TooLarge) {
            return usage_error("mint", "--expires-at is too large: the latest expiry a token can hold is " + latest);
        }
        if (seconds.value == 0) {
            return usage_error("mint", "--expires-at must be at least 1; leave it out for a token that never expires");
        }
        expires_at = seconds.value;
    }
    if (ttl_text) {
        const auto ttl = parse_seconds(*ttl_text);
        const std::string too_large =
            "--ttl is too large: the expiry would pass " + latest + ", the latest a token can hold";
        if (ttl.status == Status::NotANumber || (ttl.status == Status::Ok && ttl.value == 0)) {
            return usage_error("mint", "--ttl takes a positive number of seconds");
        }
        if (ttl.status == Status::TooLarge) {
            return usage_error("mint", too_large);
        }
        const auto now = unix_now();
        if (!now) {
            return refused("norvane: the system clock reads before 1970; use --expires-at");
        }
        if (ttl.value > kLatestExpiry - *now) {
            return usage_error("mint", too_large);
        }
        expires_at = *now + ttl.value;
    }

    auto boxes = make_norvanes("mint", *keyed, status);
    if (!boxes) {
        return status;
    }
    const auto data = read_stdin(norvane::MAX_PLAINTEXT_LEN);
    if (!data) {
        return refused("norvane: cannot read standard input");
    }
    if (data->empty() && !args.has("allow-empty")) {
        return refused("norvane: standard input is empty; pass --allow-empty to mint a token for no data");
    }
    if (data->size() > norvane::MAX_PLAINTEXT_LEN) {
        return refused(norvane::NorvaneError::PlaintextTooLong);
    }
    if (const auto bad = norvane::check_utf8(*data)) {
        return refused(utf8_error_text(*bad));
    }
    auto token = boxes->front().encrypt(*data, expires_at, purpose);
    if (!token) {
        return refused(token.error());
    }
    token->push_back('\n');
    return output(*token);
}

int run_open(std::span<const char* const> argv) {
    std::optional<Opened> opened;
    if (const auto status = run_keyed_open("open", kOpenHelp, argv, opened)) {
        return *status;
    }
    return write_all(STDOUT_FILENO, norvane::ByteView(opened->plaintext)) ? kExitOk : write_failed();
}

int run_rotate(std::span<const char* const> argv) {
    std::optional<Opened> opened;
    if (const auto status = run_keyed_open("rotate", kRotateHelp, argv, opened)) {
        return *status;
    }
    // Opening has just authenticated the context: its expiry is the token's.
    const auto info = read_token_info(opened->token);
    if (!info) {
        return refused(info.error());
    }
    const auto expires_at = info->expires_at == 0 ? std::nullopt : std::optional<std::uint64_t>(info->expires_at);
    auto token = opened->boxes.front().encrypt(opened->plaintext, expires_at, opened->purpose);
    if (!token) {
        return refused(token.error());
    }
    token->push_back('\n');
    return output(*token);
}

}  // namespace norvane_cli
