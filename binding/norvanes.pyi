# Type information for the norvanes extension module. Every signature here is
# the runtime's own: the same parameter names, kinds and defaults as the
# __text_signature__ of the type and its methods.
from typing import ClassVar, SupportsIndex, final

__all__ = ["Norvane", "Backend"]

@final
class Backend:
    AES256_GCM: ClassVar[Backend]
    XCHACHA20_POLY1305: ClassVar[Backend]
    def __int__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class Norvane:
    def __new__(
        cls,
        backend: Backend,
        key: SupportsIndex | None = None,
        key_env: str | None = None,
    ) -> Norvane: ...
    def encrypt(
        self,
        data: bytes,
        expires_at: SupportsIndex | None = None,
        purpose: str | None = None,
    ) -> str: ...
    def decrypt(self, token: str) -> bytes: ...
    def decrypt_for(self, token: str, purpose: str) -> bytes: ...
