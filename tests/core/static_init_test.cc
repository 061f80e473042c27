// static_init_test.cc - a program may mint and open tokens from its own
// static initialisers, which can run before any of the core's: everything
// the core shares between calls is constant-initialised.
//
// A program of its own (not a GoogleTest case): the initialiser below runs
// before main and before the initialisers of every other object file, and
// the exit status is the verdict.
#include <cstdio>
#include <optional>
#include <string>

#include "norvane/norvane.h"

namespace {

struct MintBeforeMain {
    bool opened = false;
    MintBeforeMain() {
        for (norvane::Backend b : {norvane::Backend::Aes256Gcm, norvane::Backend::XChaCha20Poly1305}) {
            norvane::Key key{};
            key[15] = 7;
            const norvane::Norvane nv = norvane::Norvane::create(b, key);
            const std::uint8_t data[] = {'h', 'i'};
            auto token = nv.encrypt(data, std::nullopt, std::nullopt);
            if (!token.ok()) {
                return;
            }
            auto plain = nv.decrypt_for_at(*token, "session", 0);
            if (!plain.ok() || plain->size() != 2 || (*plain)[0] != 'h') {
                return;
            }
        }
        opened = true;
    }
};

__attribute__((init_priority(101))) MintBeforeMain g_minted;

}  // namespace

int main() {
    if (!g_minted.opened) {
        std::fputs("minting or opening from a static initialiser failed\n", stderr);
        return 1;
    }
    return 0;
}
