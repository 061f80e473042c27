"""Nonces from the device fallback, where getrandom is unavailable.

The children here run under a seccomp filter that makes getrandom fail with
ENOSYS, so the module reads /dev/urandom through the one descriptor it keeps.
What the program does to its own descriptors must never turn into repeated
or predictable nonces.
"""

import pytest

from conftest import BACKEND_NAMES


@pytest.mark.parametrize("backend_name", BACKEND_NAMES)
@pytest.mark.parametrize("impostor", ["/dev/zero", "/dev/null"])
def test_a_reused_descriptor_number_never_feeds_nonces(no_getrandom, backend_name, impostor):
    # A daemonising helper closes every descriptor; the next open takes the
    # number the module had for /dev/urandom.
    result = no_getrandom(f"""
        import os
        from norvanes import Norvane, Backend
        n = Norvane(Backend.{backend_name}, key=0x1234)
        n.encrypt(b"hello")
        os.closerange(3, 256)
        fd = os.open({impostor!r}, os.O_RDONLY)
        a, b = n.encrypt(b"hello"), n.encrypt(b"world")
        assert a.split(".")[0] != b.split(".")[0], (a, b)
        assert set(a.split(".")[0]) != {{"A"}}, a
        assert n.decrypt(a) == b"hello" and n.decrypt(b) == b"world"
        os.fstat(fd)  # still open: the module left the number to its owner
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_the_fallback_descriptor_never_sits_on_a_standard_stream(no_getrandom):
    result = no_getrandom("""
        import os
        from norvanes import Norvane, Backend
        os.close(0)
        Norvane(Backend.AES256_GCM, key=1).encrypt(b"x")
        ours = [fd for fd in map(int, os.listdir("/proc/self/fd"))
                if os.path.realpath(f"/proc/self/fd/{fd}") == "/dev/urandom"]
        assert ours and all(fd > 2 for fd in ours), ours
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"
