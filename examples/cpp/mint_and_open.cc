// Mints a password-reset token that expires in an hour, opens it, and shows
// the two refusals a reader most often meets: another purpose, and a clock
// past the expiry. The key comes from the environment variable
// NORVANE_EXAMPLE_KEY (a 128-bit integer in decimal), read the same way as
// the Python module's key_env.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <string_view>

#include "norvane/norvane.h"
#include "norvane/utf8.h"

namespace {

norvane::ByteView as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::uint64_t unix_now() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count());
}

// expect_refusal opens the token and reports whether it was refused with
// the expected error.
bool expect_refusal(const norvane::Norvane& box, const std::string& token, std::string_view purpose,
                    std::uint64_t at, norvane::NorvaneError expected, std::string_view label) {
    const auto opened = box.decrypt_for_at(token, purpose, at);
    if (opened) {
        std::cerr << label << ": opened, but should have been refused\n";
        return false;
    }
    std::cout << label << ": " << norvane::message(opened.error()) << "\n";
    return opened.error() == expected;
}

}  // namespace

int main() {
    // The key is parsed and then wiped as soon as the Norvane holds its
    // derived cipher key.
    const auto box = [] {
        auto key = norvane::resolve_key(nullptr, "NORVANE_EXAMPLE_KEY");
        if (!key) {
            std::cerr << "NORVANE_EXAMPLE_KEY: " << norvane::message(key.error()) << "\n";
            std::exit(1);
        }
        return norvane::Norvane::create(norvane::Backend::XChaCha20Poly1305, *key);
    }();

    const std::string_view data = "user=42";
    if (!norvane::is_valid_utf8(as_bytes(data))) {  // minting takes UTF-8 only; the caller checks
        return 1;
    }
    const std::uint64_t now = unix_now();
    const auto token = box.encrypt(as_bytes(data), now + 3600, "password-reset");
    if (!token) {
        std::cerr << "mint: " << norvane::message(token.error()) << "\n";
        return 1;
    }
    std::cout << "token: " << *token << "\n";

    const auto opened = box.decrypt_for_at(*token, "password-reset", now);
    if (!opened) {
        std::cerr << "open: " << norvane::message(opened.error()) << "\n";
        return 1;
    }
    const std::string plaintext(opened->begin(), opened->end());
    std::cout << "opened: " << plaintext << "\n";

    bool ok = plaintext == data;
    ok &= expect_refusal(box, *token, norvane::DEFAULT_PURPOSE, now, norvane::NorvaneError::WrongPurpose,
                         "as a session token");
    ok &= expect_refusal(box, *token, "password-reset", now + 3600, norvane::NorvaneError::Expired,
                         "an hour later");
    return ok ? 0 : 1;
}
