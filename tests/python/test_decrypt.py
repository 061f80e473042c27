"""Norvane.decrypt and decrypt_for: binding, conversion, every refusal and its precedence."""

import json
import os
import subprocess
import sys
import textwrap
import time

import pytest

from norvanes import Backend, Norvane

from conftest import KEY, OTHER_KEY, module_env, raised

INVALID_TOKEN = "invalid token"
INVALID_BASE64 = "base64 is invalid"
TAMPERED = "the data has been modified"
EXPIRED = "token has expired"
WRONG_PURPOSE = "token was not minted for the expected purpose"
FAR_FUTURE = 2**64 - 1

DECRYPT_DOC = "\n".join(
    [
        'Decrypts a str token for the default purpose ("session") to bytes.',
        "",
        "Raises ValueError for malformed, oversized, tampered, expired,",
        "wrong-key, wrong-backend, or wrong-purpose tokens. Authenticity is",
        "verified before purpose and expiry. Use decrypt_for for another purpose.",
    ]
)
DECRYPT_FOR_DOC = "\n".join(
    [
        "Decrypts a str token to bytes, requiring an exact purpose match.",
        "",
        'purpose is a required str and can also be "session". Token errors',
        "raise ValueError, as with decrypt; authenticity is checked before",
        "purpose and expiry.",
    ]
)


def refusal(fn, *args, **kwargs):
    """The message of the ValueError that fn raises."""
    error = raised(fn, *args, **kwargs)
    assert type(error) is ValueError, error
    assert len(error.args) == 1 and not hasattr(error, "__notes__")
    return error.args[0]


@pytest.mark.parametrize(
    "method, doc, signature",
    [("decrypt", DECRYPT_DOC, "($self, token)"), ("decrypt_for", DECRYPT_FOR_DOC, "($self, token, purpose)")],
)
def test_docstrings_and_signatures(method, doc, signature):
    assert getattr(Norvane, method).__doc__ == doc
    assert getattr(Norvane, method).__text_signature__ == signature


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        ("decrypt", ("t", "u"), {}, "Norvane.decrypt() takes 1 positional arguments but 2 were given"),
        ("decrypt", (), {}, "Norvane.decrypt() missing 1 required positional argument: 'token'"),
        ("decrypt", ("t",), {"token": "t"}, "Norvane.decrypt() got multiple values for argument 'token'"),
        ("decrypt", ("t",), {"purpose": "p"}, "Norvane.decrypt() got an unexpected keyword argument 'purpose'"),
        ("decrypt_for", ("t", "p", "x"), {}, "Norvane.decrypt_for() takes 2 positional arguments but 3 were given"),
        ("decrypt_for", ("t",), {}, "Norvane.decrypt_for() missing 1 required positional argument: 'purpose'"),
        ("decrypt_for", (), {}, "Norvane.decrypt_for() missing 2 required positional arguments: 'token' and 'purpose'"),
        ("decrypt_for", (), {"purpose": "p"}, "Norvane.decrypt_for() missing 1 required positional argument: 'token'"),
        ("decrypt_for", ("t", "p"), {"purpose": "q"}, "Norvane.decrypt_for() got multiple values for argument 'purpose'"),
        ("decrypt_for", ("t",), {"Purpose": "q"}, "Norvane.decrypt_for() got an unexpected keyword argument 'Purpose'"),
        # Binding comes before conversion.
        ("decrypt_for", (1, 2, 3), {}, "Norvane.decrypt_for() takes 2 positional arguments but 3 were given"),
    ],
)
def test_binding_errors(box, method, args, kwargs, message):
    error = raised(getattr(box, method), *args, **kwargs)
    assert type(error) is TypeError and str(error) == message
    assert not hasattr(error, "__notes__")


@pytest.mark.parametrize(
    "method, args, exc_type, message, note",
    [
        ("decrypt", (b"token",), TypeError, "'bytes' object is not an instance of 'str'", "token"),
        ("decrypt", (None,), TypeError, "'None' is not an instance of 'str'", "token"),
        ("decrypt", ("\udcff",), UnicodeEncodeError, None, "token"),
        ("decrypt_for", (1, 2), TypeError, "'int' object is not an instance of 'str'", "token"),
        ("decrypt_for", ("t", None), TypeError, "'None' is not an instance of 'str'", "purpose"),
        ("decrypt_for", ("t", b"p"), TypeError, "'bytes' object is not an instance of 'str'", "purpose"),
        ("decrypt_for", ("t", "\ud800"), UnicodeEncodeError, None, "purpose"),
        ("decrypt_for", ("\ud800", 5), UnicodeEncodeError, None, "token"),
    ],
)
def test_conversion_errors_carry_a_note(box, method, args, exc_type, message, note):
    error = raised(getattr(box, method), *args)
    assert type(error) is exc_type
    if message is not None:
        assert str(error) == message
    assert error.__notes__ == [f"while processing '{note}'"]


@pytest.mark.parametrize("data", [b"", b"hello", "\u00e9t\u00e9 \U0001f600".encode(), b"x" * 16384])
def test_round_trip(box, data):
    token = box.encrypt(data)
    for opened in (box.decrypt(token), box.decrypt_for(token, "session"), box.decrypt(token=token),
                   box.decrypt_for(purpose="session", token=token)):
        assert type(opened) is bytes and opened == data


def test_str_subclasses_are_accepted(box):
    text = type("Text", (str,), {})
    token = box.encrypt(b"sub", purpose="p")
    assert box.decrypt_for(text(token), text("p")) == b"sub"


def test_opening_does_not_consume_the_token(box):
    token = box.encrypt(b"again")
    assert [box.decrypt(token) for _ in range(3)] == [b"again"] * 3


@pytest.mark.parametrize("expected", ["Session", "session ", "sessio", "", "x" * 300])
def test_default_purpose_refuses_near_misses(box, expected):
    assert refusal(box.decrypt_for, box.encrypt(b"x"), expected) == WRONG_PURPOSE


def test_named_purpose(box):
    token = box.encrypt(b"x", purpose="Reset")
    assert box.decrypt_for(token, "Reset") == b"x"
    assert refusal(box.decrypt, token) == WRONG_PURPOSE
    assert refusal(box.decrypt_for, token, "reset") == WRONG_PURPOSE


# Opening's rules, their order and every malformed form are tested in full
# by the core's own tests. Here each refusal is checked once on its way
# through the binding, with what the binding adds: the token's size is its
# UTF-8 length, not its length in characters.
def other(backend):
    return Backend.XCHACHA20_POLY1305 if backend is Backend.AES256_GCM else Backend.AES256_GCM


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda box, backend: "", INVALID_TOKEN),
        (lambda box, backend: box.encrypt(b"x") + ".x", INVALID_BASE64),
        (lambda box, backend: Norvane(other(backend), key=KEY).encrypt(b"x"), INVALID_TOKEN),
        (lambda box, backend: Norvane(backend, key=OTHER_KEY).encrypt(b"x"), TAMPERED),
        (lambda box, backend: box.encrypt(b"x", purpose="other"), WRONG_PURPOSE),
        (lambda box, backend: box.encrypt(b"x", expires_at=1), EXPIRED),
        (lambda box, backend: "\u00e9" * 16384 + "..", INVALID_TOKEN),
        (lambda box, backend: "\u00e9" * 16383 + "..", INVALID_BASE64),
    ],
    ids=["empty", "fourth-field", "other-backend", "other-key", "other-purpose", "expired",
         "32768-characters-of-65536-bytes", "32768-bytes"],
)
def test_each_refusal_reaches_python_with_its_message(box, backend, make, message):
    assert refusal(box.decrypt, make(box, backend)) == message



def test_expiry_against_the_real_clock(box):
    assert refusal(box.decrypt, box.encrypt(b"x", expires_at=1)) == EXPIRED
    # The module reads the same clock as Python: a minute either side.
    now = int(time.time())
    assert refusal(box.decrypt, box.encrypt(b"x", expires_at=now - 60)) == EXPIRED
    assert box.decrypt(box.encrypt(b"x", expires_at=now + 60)) == b"x"
    assert box.decrypt(box.encrypt(b"x", expires_at=FAR_FUTURE)) == b"x"
    assert box.decrypt(box.encrypt(b"x")) == b"x"


CLOCK_PROBE = """
import json, os
from norvanes import Backend, Norvane
box = Norvane(Backend.{backend}, key=5)
cases = {cases}
tokens = [box.encrypt(b"data", expires_at=e) for e, _ in cases]
out = []
for token, (_, now) in zip(tokens, cases):
    os.environ["NORVANE_TEST_CLOCK"] = str(now)
    try:
        out.append(box.decrypt(token).decode())
    except ValueError as error:
        out.append(str(error))
    finally:
        del os.environ["NORVANE_TEST_CLOCK"]
print(json.dumps(out))
"""


@pytest.mark.parametrize("backend_name", ["AES256_GCM", "XCHACHA20_POLY1305"])
def test_expiry_boundary_with_a_set_clock(run_with_clock, backend_name):
    E = 1_800_000_000
    cases = [
        ((E, E - 1), "data"),       # valid through second E - 1
        ((E, E), EXPIRED),          # expired from second E on
        ((E, E + 1), EXPIRED),
        ((1, 0), "data"),
        ((1, 1), EXPIRED),
        ((FAR_FUTURE, FAR_FUTURE - 1 - 2**63), "data"),
        ((None, 0), "data"),
        ((None, 2**62), "data"),
        # Past 2038-01-19 03:14:07, where 32-bit seconds end: the clock must
        # still read right on 32-bit platforms.
        ((2**31 + 1, 2**31), "data"),
        ((2**31, 2**31), EXPIRED),
        ((4_102_444_800, 4_102_444_799), "data"),
        ((4_102_444_800, 4_102_444_800), EXPIRED),
        # Before 1970 the time counts as the largest value: every expiry
        # has passed, tokens without one still open.
        ((FAR_FUTURE, -1), EXPIRED),
        ((1, -86400 * 365), EXPIRED),
        ((None, -1), "data"),
    ]
    child = run_with_clock(CLOCK_PROBE.format(backend=backend_name, cases=[c for c, _ in cases]))
    assert child.returncode == 0, child.stderr
    assert json.loads(child.stdout) == [expected for _, expected in cases]


def _occurrences(pid, needle):
    """How often needle lies in the readable memory of process pid."""
    count = 0
    with open(f"/proc/{pid}/maps") as maps, open(f"/proc/{pid}/mem", "rb", buffering=0) as mem:
        for line in maps:
            span, perms = line.split()[:2]
            if not perms.startswith("r") or line.rstrip().endswith("[vvar]") or "[vvar_vclock]" in line:
                continue
            start, end = (int(x, 16) for x in span.split("-"))
            try:
                mem.seek(start)
                data = mem.read(end - start)
            except OSError:
                continue
            count += data.count(needle)
    return count


@pytest.mark.skipif(not os.path.exists("/proc/self/mem"), reason="needs /proc")
@pytest.mark.parametrize("length", [12, 20, 30, 100, 2000])
def test_opening_leaves_one_copy_of_the_plaintext(backend_name, length):
    # The child is given only the token; while it holds the plaintext it
    # opened, its memory must hold that one copy, not another one in a block
    # freed unwiped (a bytes object cut to size after opening would move).
    plaintext = os.urandom(length).hex()[:length].encode()
    token = Norvane(getattr(Backend, backend_name), key=KEY).encrypt(plaintext)
    child = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(f"""
            import gc, sys
            from norvanes import Backend, Norvane
            box = Norvane(Backend.{backend_name}, key={KEY})
            opened = box.decrypt(sys.stdin.readline().strip())
            gc.collect()
            print("ready", flush=True)
            sys.stdin.readline()
        """)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=module_env())
    try:
        child.stdin.write(token + "\n")
        child.stdin.flush()
        assert child.stdout.readline().strip() == "ready"
        assert _occurrences(child.pid, plaintext) == 1
    finally:
        child.stdin.write("\n")
        child.stdin.close()
        child.wait(timeout=60)
