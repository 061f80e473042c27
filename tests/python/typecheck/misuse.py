"""Mistakes the type stub turns into mypy errors. Every line that must be
rejected ends in a marker "E:" followed by the error code that mypy reports
for it; no other line may be reported."""

from norvanes import Backend, Norvane

box = Norvane(Backend.AES256_GCM, key=1)

Norvane("aes256gcm", key=1)  # E: arg-type
Norvane(0, key=1)  # E: arg-type
Norvane(Backend.AES256_GCM, key=1.5)  # E: arg-type
Norvane(Backend.AES256_GCM, key="1234")  # E: arg-type
Norvane(Backend.AES256_GCM, key_env=b"APP_KEY")  # E: arg-type
Norvane(Backend.AES256_GCM, secret=1)  # E: call-arg
Norvane(Backend.AES256_GCM, 1, "APP_KEY", "extra")  # E: call-arg
Norvane()  # E: call-arg
Backend.AES256_GCM < Backend.XCHACHA20_POLY1305  # E: operator
Backend.AES256_GCM.value  # E: attr-defined


class MyNorvane(Norvane):  # E: misc
    pass


box.encrypt("text")  # E: arg-type
box.encrypt(bytearray(b"data"))  # E: arg-type
box.encrypt(memoryview(b"data"))  # E: arg-type
box.encrypt(b"data", expires_at=1.5)  # E: arg-type
box.encrypt(b"data", expires_at="1700000000")  # E: arg-type
box.encrypt(b"data", purpose=b"reset")  # E: arg-type
box.encrypt(b"data", 1, "reset", "extra")  # E: call-arg
box.encrypt(b"data", ttl=60)  # E: call-arg
box.decrypt(b"token")  # E: arg-type
box.decrypt("token", "session")  # E: call-arg
box.decrypt("token", purpose="session")  # E: call-arg
box.decrypt_for("token")  # E: call-arg
box.decrypt_for("token", None)  # E: arg-type
box.backend  # E: attr-defined
token_bytes: bytes = box.encrypt(b"data")  # E: assignment
text: str = box.decrypt("token")  # E: assignment
