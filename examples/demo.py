#!/usr/bin/env python3
"""Mint and open norvane tokens with both backends.

The key comes from the environment, the way a deployment would pass it:
NORVANE_DEMO_KEY holds a 128-bit integer in decimal. If it is unset, the
script puts a throwaway demo key there first and says so.

    NORVANE_DEMO_KEY=$(python3 -c "import secrets; print(secrets.randbits(128))") python3 demo.py
"""

import os
import secrets
import time

from norvanes import Backend, Norvane

KEY_VARIABLE = "NORVANE_DEMO_KEY"


def ensure_demo_key():
    if KEY_VARIABLE not in os.environ:
        os.environ[KEY_VARIABLE] = str(secrets.randbits(128))
        print(f"{KEY_VARIABLE} was not set; using a fresh random demo key for this run only.")
    else:
        print(f"Using the key in {KEY_VARIABLE}.")


def show_refusal(label, action):
    try:
        action()
    except ValueError as error:
        print(f"  refused, {label}: {error}")
    else:
        raise SystemExit(f"expected a refusal for {label}")


def demo(backend):
    print(f"\n== {backend!r} ==")
    box = Norvane(backend, key_env=KEY_VARIABLE)

    plain = box.encrypt(b"hello, world")
    print(f"  token without expiry ({len(plain)} chars): {plain}")
    print(f"  opened: {box.decrypt(plain)!r}")

    in_an_hour = int(time.time()) + 3600
    reset = box.encrypt("café ☕".encode(), expires_at=in_an_hour, purpose="password-reset")
    print(f"  token for 'password-reset', valid for an hour: {reset}")
    print(f"  opened for 'password-reset': {box.decrypt_for(reset, 'password-reset').decode()!r}")

    nonce, context, sealed = plain.split(".")
    flipped = "A" if sealed[0] != "A" else "B"
    show_refusal("tampered ciphertext", lambda: box.decrypt(f"{nonce}.{context}.{flipped}{sealed[1:]}"))
    show_refusal("wrong purpose", lambda: box.decrypt(reset))
    show_refusal("already expired", lambda: box.decrypt(box.encrypt(b"stale", expires_at=1)))


def main():
    ensure_demo_key()
    for backend in (Backend.AES256_GCM, Backend.XCHACHA20_POLY1305):
        demo(backend)
    aes_token = Norvane(Backend.AES256_GCM, key_env=KEY_VARIABLE).encrypt(b"x")
    print("\nTokens do not cross backends:")
    show_refusal("AES-256-GCM token under XChaCha20-Poly1305",
                 lambda: Norvane(Backend.XCHACHA20_POLY1305, key_env=KEY_VARIABLE).decrypt(aes_token))


if __name__ == "__main__":
    main()
