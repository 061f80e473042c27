"""Mistakes that the keyring's annotations turn into mypy errors. Every line
that must be rejected ends in a marker "E:" followed by the error code that
mypy reports for it (codes that mypy releases differ on, separated by "|");
no other line may be reported."""

from norvanes import Backend
from norvanes_keyring import Keyring, TokenInfo, peek

ring = Keyring(Backend.AES256_GCM, [1, "APP_KEY"])

Keyring("aes256gcm", [1])  # E: arg-type
Keyring(Backend.AES256_GCM, [1.5])  # E: list-item
Keyring(Backend.AES256_GCM, [b"APP_KEY"])  # E: list-item
Keyring(Backend.AES256_GCM, 1)  # E: arg-type
ring.encrypt("text")  # E: arg-type
ring.encrypt(b"data", ttl=1.5)  # E: arg-type
ring.encrypt(b"data", None, None, 60)  # E: call-arg|misc
ring.decrypt(b"token")  # E: arg-type
ring.decrypt_for("token")  # E: call-arg
ring.rotate("token", None)  # E: arg-type
text: str = ring.decrypt("token")  # E: assignment
peek(b"token")  # E: arg-type
info: TokenInfo = peek("token")
info.purpose = "other"  # E: misc
days: int = info.expires_at  # E: assignment
