"""The norvane command-line tool, driven as a subprocess.

The binary is NORVANE_CLI when that is set (scripts/test points it at the
CMake build), else the `norvane` installed beside this interpreter (pip
install .), else the first one on PATH.
"""

import datetime
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time

import pytest

from norvanes import Backend, Norvane

from conftest import KEY, OTHER_KEY, context_record, fields, join

KEY_VAR = "NORVANE_CLI_TEST_KEY"
BACKENDS = {"aes256gcm": Backend.AES256_GCM, "xchacha20poly1305": Backend.XCHACHA20_POLY1305}
NONCE_LEN = {"aes256gcm": 12, "xchacha20poly1305": 24}
INVALID_TOKEN = "invalid token"
INVALID_BASE64 = "base64 is invalid"
TAMPERED = "the data has been modified"
WRONG_PURPOSE = "token was not minted for the expected purpose"
INVALID_KEY_ENV = "the value of key_env is invalid"
EXIT_OK, EXIT_REFUSED, EXIT_USAGE = 0, 1, 2


@pytest.fixture(scope="session")
def cli():
    path = os.environ.get("NORVANE_CLI") or os.path.join(os.path.dirname(sys.executable), "norvane")
    if not os.access(path, os.X_OK):
        path = shutil.which("norvane")
    if path is None:
        (pytest.fail if os.environ.get("CI") == "true" else pytest.skip)("no norvane tool: set NORVANE_CLI")
    return path


@pytest.fixture
def run(cli):
    """run(*args, stdin=b"", key=KEY, env=None, stdout=None): the tool with
    `key` (None: unset) in KEY_VAR; its standard output captured, or sent to
    the file `stdout`."""

    def run_cli(*args, stdin=b"", key=KEY, env=None, stdout=None):
        full_env = {k: v for k, v in os.environ.items() if k != KEY_VAR}
        full_env.update({} if key is None else {KEY_VAR: str(key)}, **(env or {}))
        return subprocess.run([cli, *args], input=stdin, stdout=stdout or subprocess.PIPE, stderr=subprocess.PIPE,
                              env=full_env, timeout=60)

    return run_cli


@pytest.fixture(params=sorted(BACKENDS))
def backend_arg(request):
    return request.param


def keyed(command, backend_arg, *rest):
    return (command, "--backend", backend_arg, "--key-env", KEY_VAR, *rest)


def refused_with(result, message, hint=None):
    """Status 1, and on stderr the library's message alone on the first line,
    then the hint, if any, on a second."""
    expected = message + "\n" + (f"hint: {hint}\n" if hint else "")
    assert (result.returncode, result.stdout, result.stderr.decode()) == (EXIT_REFUSED, b"", expected)


def mint(run, backend_arg, data, *options):
    result = run(*keyed("mint", backend_arg, *options), stdin=data)
    assert result.returncode == EXIT_OK, result.stderr
    assert result.stdout.endswith(b"\n") and result.stdout.count(b"\n") == 1
    return result.stdout.decode("ascii")[:-1]


def iso_utc(seconds):
    """ISO 8601 by datetime. The Gregorian calendar repeats every 400 years
    (146097 days), so whole cycles go into the year and datetime does the rest."""
    days, in_day = divmod(seconds, 86400)
    cycles, days = divmod(days, 146097)
    date = datetime.date(1970, 1, 1) + datetime.timedelta(days=days)
    year = date.year + 400 * cycles
    clock = (datetime.datetime.min + datetime.timedelta(seconds=in_day)).strftime("%H:%M:%S")
    return f"{'+' if year > 9999 else ''}{year:04d}-{date.month:02d}-{date.day:02d}T{clock}Z"


def inspect_lines(result):
    assert result.returncode == EXIT_OK, result.stderr
    return dict(line.split(": ", 1) for line in result.stdout.decode().splitlines())


# -- minting and opening ---------------------------------------------------------------------------


@pytest.mark.parametrize("data", [b"", b"hello", "café ☕\n".encode(), b"x" * 16384],
                         ids=["empty", "ascii", "utf8", "max"])
@pytest.mark.parametrize("purpose", [None, "p", "p" * 255])
def test_mint_then_open_round_trips(run, backend_arg, data, purpose):
    purpose_args = () if purpose is None else ("--purpose", purpose)
    empty_args = () if data else ("--allow-empty",)
    token = mint(run, backend_arg, data, *purpose_args, *empty_args, "--expires-at", str(2**64 - 1))
    nonce, context, sealed = fields(token)
    assert (len(nonce), context, len(sealed)) == (
        NONCE_LEN[backend_arg], context_record(2**64 - 1, purpose or "session"), len(data) + 16)
    opened = run(*keyed("open", backend_arg, *purpose_args, "--", token))
    assert (opened.returncode, opened.stdout, opened.stderr) == (EXIT_OK, data, b"")


def test_tokens_are_interchangeable_with_the_module(run, backend_arg):
    box = Norvane(BACKENDS[backend_arg], key=KEY)
    assert box.decrypt_for(mint(run, backend_arg, b"from the shell", "--purpose", "x"), "x") == b"from the shell"
    from_module = box.encrypt("from Python ✓".encode())
    assert run(*keyed("open", backend_arg, "--", from_module)).stdout == "from Python ✓".encode()


@pytest.mark.parametrize("stdin_suffix, operand, message", [
    (b"", ("-",), None), (b"\n", ("-",), None), (b"\r\n", ("--", "-"), None),
    (b"\n\n", ("-",), INVALID_BASE64),  # only one line break is forgiven
])
def test_open_reads_the_token_from_stdin(run, backend_arg, stdin_suffix, operand, message):
    token = mint(run, backend_arg, b"piped")
    opened = run(*keyed("open", backend_arg, *operand), stdin=token.encode() + stdin_suffix)
    if message:
        refused_with(opened, message)
    else:
        assert (opened.returncode, opened.stdout) == (EXIT_OK, b"piped")


def test_option_syntax(run, backend_arg):
    # --name=value; a value may begin with "-"; "--" ends the options.
    token = mint(run, backend_arg, b"eq", "--purpose=--help", "--expires-at=4000000000")
    assert run("open", f"--backend={backend_arg}", f"--key-env={KEY_VAR}", "--purpose", "--help", "--",
               token).stdout == b"eq"
    # A token that begins with "-" goes after "--"; before it, it is an option.
    box = Norvane(BACKENDS[backend_arg], key=KEY)
    dashed = next(t for t in (box.encrypt(b"dash") for _ in range(5000)) if t.startswith("-"))
    assert run(*keyed("open", backend_arg, "--", dashed)).stdout == b"dash"
    assert inspect_lines(run("inspect", "--", dashed))["plaintext length"] == "4 bytes"
    as_option = run(*keyed("open", backend_arg, dashed))
    assert (as_option.returncode, as_option.stdout) == (EXIT_USAGE, b"")
    assert as_option.stderr.decode().startswith(
        f"norvane open: unknown option at position 6 ({STRAY}); a token that begins with '-' goes after '--'\n")


# -- a token from elsewhere is never an option -------------------------------------------------------


FORGED = Norvane(Backend.AES256_GCM, key=1).encrypt(b"user=admin")  # SHLVL=1 is in most shells' environments


@pytest.mark.parametrize("untrusted, status, stderr", [
    ("-h", EXIT_USAGE, "norvane open: option '-h' is accepted only as the only argument"),
    ("--help", EXIT_USAGE, "norvane open: option '--help' is accepted only as the only argument"),
    ("--key-env=SHLVL", EXIT_USAGE, "norvane open: TOKEN is missing"),
    ("--purpose=password-reset", EXIT_USAGE, "norvane open: TOKEN is missing"),
    ("--key-env", EXIT_USAGE, "norvane open: option '--key-env' needs a value"),
    ("--", EXIT_USAGE, "norvane open: TOKEN is missing"),
])
@pytest.mark.parametrize("dashes", [False, True], ids=["as-written", "after-dashes"])
def test_a_wrapper_is_not_beaten_by_a_token_that_reads_as_an_option(cli, untrusted, status, stderr, dashes):
    """The shell wrapper of a web application, fed a "token" and the request
    body (here a token forged under the key 1) on standard input. Whatever
    the "token", the wrapper's check fails and nothing is printed: written
    as it is, the command line goes without its token (or asks for help where
    it cannot), and after "--" the text is a token that opening refuses."""
    script = ('plaintext=$("$0" open --backend aes256gcm --key-env APP_KEY ' + ('-- ' if dashes else '') +
              '"$1") && printf "opened: %s" "$plaintext"')
    env = {**os.environ, "APP_KEY": str(KEY), "SHLVL": "1"}
    result = subprocess.run(["bash", "-c", script, cli, untrusted], input=FORGED.encode(), capture_output=True,
                            env=env, timeout=60)
    if dashes:
        assert (result.returncode, result.stdout, result.stderr) == (EXIT_REFUSED, b"", b"invalid token\n")
    else:
        assert (result.returncode, result.stdout) == (status, b"")
        assert result.stderr.decode().startswith(stderr)
    # The forgery is real: under the key that SHLVL holds it opens.
    forged = subprocess.run([cli, "open", "--backend", "aes256gcm", "--key-env", "SHLVL", "-"],
                            input=FORGED.encode(), capture_output=True, env=env, timeout=60)
    assert (forged.returncode, forged.stdout) == (EXIT_OK, b"user=admin")


HELP_ELSEWHERE = {
    "inspect": [("--json", "--help"), ("-", "-h")],
    "keygen": [],
    "mint": [("--backend", "aes256gcm", "--key-env", KEY_VAR, "-h")],
    "open": [("--backend", "aes256gcm", "--key-env", KEY_VAR, "--help"), ("--backend", "aes256gcm", "-", "-h")],
    "rotate": [("--key-env", KEY_VAR, "-h", "--backend", "aes256gcm", "-")],
}


@pytest.mark.parametrize("command", sorted(HELP_ELSEWHERE))
def test_help_is_help_only_alone(run, command):
    for alone in ("-h", "--help"):
        result = run(command, alone)
        assert (result.returncode, result.stderr) == (EXIT_OK, b"")
        assert result.stdout.decode().startswith(f"usage: norvane {command}")
    for args in [("-h", "-"), ("--help", "--"), ("--help", "x"), *HELP_ELSEWHERE[command]]:
        result = run(command, *args, stdin=mint(run, "aes256gcm", b"x").encode())
        assert (result.returncode, result.stdout) == (EXIT_USAGE, b""), args
        assert result.stderr.decode().endswith(f"\nTry 'norvane {command} --help'.\n")


HINT_PURPOSE = "the token may have been minted for another purpose: try --purpose (norvane inspect shows the token's)"
HINT_KEY = "the token may have been modified, or minted under a key not given with --key-env"
HINT_FILE = "TOKEN is the token's text; to read it from a file use - < FILE"


@pytest.mark.parametrize("command", ["open", "rotate"])
def test_refusals_carry_the_library_message_then_a_hint(run, backend_arg, command):
    other = "xchacha20poly1305" if backend_arg == "aes256gcm" else "aes256gcm"
    token = mint(run, backend_arg, b"secret", "--purpose", "reset")
    nonce, context, sealed = fields(token)
    flipped = join(nonce, context, sealed[:-1] + bytes([sealed[-1] ^ 1]))
    expired = mint(run, backend_arg, b"old", "--expires-at", "1")
    for options, token_text, key, message, hint in [
        ((), token, KEY, WRONG_PURPOSE, HINT_PURPOSE),
        (("--purpose", "Reset"), token, KEY, WRONG_PURPOSE, HINT_PURPOSE),
        (("--purpose", "reset"), token, OTHER_KEY, TAMPERED, HINT_KEY),
        (("--purpose", "reset"), flipped, KEY, TAMPERED, HINT_KEY),
        ((), expired, KEY, "token has expired", None),
        ((), token[:-2], KEY, INVALID_BASE64, None),
    ]:
        refused_with(run(*keyed(command, backend_arg, *options, "--", token_text), key=key), message, hint)
    # A nonce of the other backend's length is refused before any key is
    # tried; the hint names the backend it fits.
    refused_with(run(*keyed(command, other, "--purpose", "reset", "-"), stdin=token.encode()), INVALID_TOKEN,
                 f"the token may have been minted with the other --backend: try --backend {backend_arg}")


@pytest.mark.parametrize("command", ["inspect", "open"])
def test_a_file_name_given_for_the_token_gets_a_hint_without_being_shown(run, tmp_path, command):
    path = tmp_path / "token.txt"
    path.write_text(mint(run, "aes256gcm", b"in a file") + "\n")
    args = ("inspect",) if command == "inspect" else keyed("open", "aes256gcm")
    refused_with(run(*args, "--", str(path)), INVALID_TOKEN, HINT_FILE)
    refused_with(run(*args, "--", str(tmp_path / "no such file")), INVALID_TOKEN)  # no file: no hint
    refused_with(run(*args, "-", stdin=str(path).encode()), INVALID_TOKEN)  # a name on standard input is text
    assert run(*args, "-", stdin=path.read_bytes()).returncode == EXIT_OK  # what the hint says to do


def test_ttl_sets_the_expiry_from_the_clock(run, backend_arg):
    before = int(time.time())
    token = mint(run, backend_arg, b"t", "--ttl", "3600")
    expires_at = int.from_bytes(fields(token)[1][1:9], "big")
    assert before + 3600 <= expires_at <= int(time.time()) + 3600


# -- keys --------------------------------------------------------------------------------------------


K = str(KEY)
MAKE_ONE = " (make a key with 'norvane keygen')"
NOT_DECIMAL = "does not hold a key in decimal digits" + MAKE_ONE
SPACE = "has white space around the key (a trailing line break?): a key is decimal digits alone"
TOO_LARGE = "holds a number of 2**128 or more, too large for a 128-bit key" + MAKE_ONE
# (id, the variable's value or None for unset, what is said about it)
KEY_MISTAKES = [
    ("unset", None, "is not set"),
    ("empty", "", "is empty" + MAKE_ONE),
    ("leading-space", " " + K, SPACE),
    ("newline", K + "\n", SPACE),
    ("crlf", K + "\r\n", SPACE),
    ("hex", f"0x{KEY:032x}", NOT_DECIMAL),
    ("bare-hex", f"{KEY:032x}", NOT_DECIMAL),
    ("minus", "-" + K, NOT_DECIMAL),
    ("two-plus", "++" + K, NOT_DECIMAL),
    ("separator", K[:9] + "_" + K[9:], NOT_DECIMAL),
    ("arabic-digits", "١٢", NOT_DECIMAL),
    ("2**128", str(2**128), TOO_LARGE),
    ("too-many-digits", K + "000", TOO_LARGE),
]


def assert_no_key_in(text, value):
    for secret in {K, f"{KEY:032x}", value.strip() if value else None} - {None, ""}:
        assert secret not in text


@pytest.mark.parametrize("value, said", [r[1:] for r in KEY_MISTAKES], ids=[r[0] for r in KEY_MISTAKES])
@pytest.mark.parametrize("command", ["mint", "open", "rotate"])
def test_each_key_mistake_gets_its_own_message(run, monkeypatch, value, said, command):
    # The module refuses every one of them with its one message; the tool
    # says which it is, naming the variable and never showing the value.
    monkeypatch.delenv(KEY_VAR, raising=False)
    if value is not None:
        monkeypatch.setenv(KEY_VAR, value)
    with pytest.raises(ValueError, match=f"^{INVALID_KEY_ENV}$"):
        Norvane(Backend.AES256_GCM, key_env=KEY_VAR)
    operand = () if command == "mint" else ("-",)
    result = run(*keyed(command, "aes256gcm", *operand), stdin=b"a.b.c", key=value)
    refused_with(result, f"norvane: environment variable {KEY_VAR} {said}")
    assert_no_key_in(result.stderr.decode(), value)


@pytest.mark.parametrize("key_env, status, message", [
    (K, EXIT_USAGE, "norvane open: --key-env takes the name of an environment variable, and the one at position 7 "
                    "looks like a key: export the key in a variable and give the variable's name"),
    (f"0x{KEY:032x}", EXIT_USAGE, "norvane open: --key-env takes the name of an environment variable, and the one "
                                  "at position 7 looks like a key"),
    (f"{KEY:032x}", EXIT_USAGE, "norvane open: --key-env takes the name of an environment variable, and the one "
                                "at position 7 looks like a key"),
    (f"APP_KEY={K}", EXIT_USAGE, "norvane open: the name given to --key-env at position 7 holds '=', which no "
                                 "variable's name can: give the name alone"),
    ("", EXIT_USAGE, "norvane open: --key-env needs the name of the environment variable that holds the key"),
    ("NORVANE_CLI_UNSET", EXIT_REFUSED, "norvane: environment variable NORVANE_CLI_UNSET is not set\n"),
    ("norvane-cli-unset", EXIT_REFUSED, "norvane: the environment variable that --key-env names at position 7 is "
                                        "not set\n"),
])
def test_mistakes_in_the_name_of_a_key_variable(run, key_env, status, message):
    # The second key is the faulty one: every key is checked before the token is read.
    result = run(*keyed("open", "aes256gcm", "--key-env", key_env, "-"), stdin=b"a.b.c")
    assert (result.returncode, result.stdout) == (status, b"")
    assert result.stderr.decode().startswith(message)
    assert_no_key_in(result.stderr.decode(), None)


@pytest.mark.parametrize("text, value", [("0", 0), ("+" + str(KEY), KEY), ("0" * 40 + str(KEY), KEY),
                                         (str(2**128 - 1), 2**128 - 1), ("+" + "0" * 60, 0)])
def test_key_variables_are_parsed_as_key_env_parses_them(run, backend_arg, text, value):
    token = Norvane(BACKENDS[backend_arg], key=value).encrypt(b"same key")
    assert run(*keyed("open", backend_arg, "--", token), key=text).stdout == b"same key"


# -- refusals of minting -------------------------------------------------------------------------------


@pytest.mark.parametrize("data, options, message", [
    (b"", (), "norvane: standard input is empty; pass --allow-empty to mint a token for no data"),
    (b"x", ("--purpose", "é" * 128), "purpose exceeds the 255-byte limit"),
    ("é".encode() * 8193, (), "plaintext exceeds the 16384-byte limit"),
    (b"\xff" * 20000, (), "plaintext exceeds the 16384-byte limit"),  # the size is checked first
    (b"\xff", (), "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"a\xe2\x82", (), "incomplete utf-8 byte sequence from index 1"),
    (b"ab\xf0\x9f\x98(", (), "invalid utf-8 sequence of 3 bytes from index 2"),
    (b"\xed\xa0\x80", (), "invalid utf-8 sequence of 1 bytes from index 0"),
])
def test_mint_refusals(run, backend_arg, data, options, message):
    refused_with(run(*keyed("mint", backend_arg, *options), stdin=data), message)


# -- inspect -----------------------------------------------------------------------------------------


@pytest.mark.parametrize("expires_at", [None, 1, 951782400, 4107542399, 253402300799, 253402300800, 2**64 - 1],
                         ids=["never", "1", "2000-02-29", "2099-12-31", "9999-12-31", "10000-01-01", "max"])
@pytest.mark.parametrize("purpose", ["session", "ünïcödé"])
def test_inspect_shows_what_the_token_reveals(run, backend_arg, expires_at, purpose):
    token = Norvane(BACKENDS[backend_arg], key=KEY).encrypt(b"12345", expires_at=expires_at, purpose=purpose)
    info = inspect_lines(run("inspect", "--", token, key=None))
    expired = expires_at is not None and expires_at <= time.time()
    assert info == {
        "backend": f"{backend_arg} ({NONCE_LEN[backend_arg]}-byte nonce)",
        "expires": "never" if expires_at is None else
                   f"{expires_at} ({iso_utc(expires_at)}){', already expired' if expired else ''}",
        "purpose": json.dumps(purpose, ensure_ascii=False),
        "plaintext length": "5 bytes",
        "tag": "unverified (only opening with the key checks it)",
    }
    as_json = run("inspect", "--json", "-", key=None, stdin=token.encode() + b"\n")
    shown = json.loads(as_json.stdout)
    assert shown == {
        "backend": backend_arg, "nonce_length": NONCE_LEN[backend_arg], "expires_at": expires_at,
        # Only four-digit years: what datetime.fromisoformat and other JSON readers parse.
        "expires": None if expires_at is None or expires_at >= 253402300800 else iso_utc(expires_at),
        "expired": expired, "purpose": purpose, "plaintext_length": 5, "verified": False,
    }
    if shown["expires"]:
        parsed = datetime.datetime.fromisoformat(shown["expires"])
        assert parsed.timestamp() == expires_at and parsed.tzinfo == datetime.timezone.utc


@pytest.mark.parametrize("purpose, shown", [
    ("", '""'),
    ('say "hi"\\', '"say \\"hi\\"\\\\"'),
    ("two\nlines\ttab\r", '"two\\nlines\\ttab\\r"'),
    ("\x1b[31mred\x7f", '"\\x1b[31mred\\x7f"'),
    ("c1\u0085\u009b", '"c1\\u0085\\u009b"'),
])
def test_inspect_escapes_purposes_that_could_drive_a_terminal(run, purpose, shown):
    token = join(bytes(12), context_record(0, purpose), bytes(17))  # hand-made: minting refuses ""
    assert inspect_lines(run("inspect", "--", token))["purpose"] == shown
    assert json.loads(run("inspect", "--json", "--", token).stdout)["purpose"] == purpose


def test_inspect_shows_what_the_format_page_says(run, clock_shim):
    page = (pathlib.Path(__file__).resolve().parents[2] / "docs" / "format.md").read_text()
    block = re.search(r"```\n\$ norvane inspect (\S+)\n(.*?)```", page, re.DOTALL)
    # The page's token expires in 2030; inspect says so once that has passed.
    clock = {"LD_PRELOAD": clock_shim, "NORVANE_TEST_CLOCK": "1700000000"}
    assert run("inspect", block.group(1), key=None, env=clock).stdout.decode() == block.group(2)


def _malformed():
    """(id, token, inspect's message, opening's under the backend of the
    nonce length, or under both when it has neither)."""
    good = join(bytes(12), context_record(0, "session"), bytes(21))
    nonce, context, sealed = good.split(".")
    # inspect takes a token apart with the core's own function, whose rules are
    # tested in full by the core's tests: one row per way it can refuse.
    rows = [
        ("two-fields", f"{nonce}.{context}", INVALID_TOKEN),
        ("oversized", good + "A" * (32769 - len(good)), INVALID_TOKEN),
        ("lost-padding", f"{nonce}.{context.rstrip('=')}.{sealed}", INVALID_BASE64),
        ("nonce-18", join(bytes(18), context_record(0, "s"), bytes(16)), INVALID_TOKEN),
        ("sealed-15", join(bytes(12), context_record(0, "s"), bytes(15)), TAMPERED),
    ]
    rows = [(name, token, message, message) for name, token, message in rows]
    # Opening checks the tag before it reads the context; inspect cannot.
    rows.append(("bad-context", join(bytes(12), b"\x02" + context_record(0, "s")[1:], bytes(16)), INVALID_TOKEN,
                 TAMPERED))
    return rows


@pytest.mark.parametrize("token, shown, opened", [r[1:] for r in _malformed()], ids=[r[0] for r in _malformed()])
def test_inspect_refuses_malformed_tokens_as_opening_does(run, token, shown, opened):
    refused_with(run("inspect", "--", token, key=None), shown)
    try:
        nonce_len = len(fields(token)[0])
    except ValueError:
        nonce_len = None
    for name, backend in BACKENDS.items():
        if nonce_len in (12, 24) and NONCE_LEN[name] != nonce_len:
            continue
        with pytest.raises(ValueError, match=f"^{re.escape(opened)}$"):
            Norvane(backend, key=KEY).decrypt(token)


# -- usage -------------------------------------------------------------------------------------------

M = ("mint", "--backend", "aes256gcm", "--key-env", KEY_VAR)
O = ("open", "--backend", "aes256gcm", "--key-env", KEY_VAR)
R = ("rotate", "--backend", "aes256gcm", "--key-env", KEY_VAR)
LATEST = str(2**64 - 1)
STRAY = "not shown, as it may be a token"


@pytest.mark.parametrize("args, problem", [
    (("mint", "--backend", "aes", "--key-env", KEY_VAR), "unknown backend 'aes'"),
    (("mint", "--backend", "aes.256", "--key-env", KEY_VAR), "unknown backend (not shown) (choose"),
    (("mint", "--key-env", KEY_VAR), "--backend is required"),
    (("open", "--backend", "aes256gcm", "a.b.c"), "--key-env is required"),
    (("rotate", "--backend", "aes256gcm", "a.b.c"), "--key-env is required"),
    (M + ("--key", "5"), "unknown option '--key'"),
    (M + ("-k",), "unknown option '-k'"),
    (M + ("--" + "k" * 30,), f"unknown option at position 6 ({STRAY})"),
    (M + ("--ttl", "9", "--expires-at", "9"), "--expires-at and --ttl exclude each other"),
    (M + ("--expires-at", "-5"), "--expires-at takes a Unix time in seconds, 1 to " + LATEST),
    (M + ("--expires-at", "+5"), "--expires-at takes a Unix time in seconds, 1 to " + LATEST),
    (M + ("--expires-at", "0"), "--expires-at must be at least 1; leave it out for a token that never expires"),
    (M + ("--expires-at", str(2**64)), "--expires-at is too large: the latest expiry a token can hold is " + LATEST),
    (M + ("--ttl", "0"), "--ttl takes a positive number of seconds"),
    (M + ("--ttl", "1.5"), "--ttl takes a positive number of seconds"),
    (M + ("--ttl", LATEST), f"--ttl is too large: the expiry would pass {LATEST}, the latest a token can hold"),
    (M + ("--ttl", str(2**64)), f"--ttl is too large: the expiry would pass {LATEST}"),
    (M + ("--purpose", ""), "--purpose must not be empty; leave it out for the default, session"),
    (R + ("--purpose", "", "a.b.c"), "--purpose must not be empty; leave it out for the default, session"),
    (M + ("--backend", "aes256gcm"), "option '--backend' is given more than once"),
    (M + ("--key-env", KEY_VAR), "option '--key-env' is given more than once"),  # one key mints
    (("mint", "--backend", "aes256gcm", "--key-env"), "option '--key-env' needs a value"),
    (M + ("data",), f"unexpected argument at position 6 ({STRAY})"),
    (M + ("--purpose", b"\xff"), "--purpose must be UTF-8 text"),
    (O + ("a.b.c", "d.e.f"), f"unexpected argument at position 7 ({STRAY})"),
    (O + ("--", "a.b.c", "-d.e.f"), f"unexpected argument at position 8 ({STRAY})"),
    (R + ("-", "--purpose", "p"), f"unexpected argument at position 7 ({STRAY}); options go before the operand"),
    (O + ("a.b.c", "-"), f"unexpected argument at position 7 ({STRAY})\n"),
    (O + ("--ttl", "5", "a.b.c"), "unknown option '--ttl'"),
    (O + ("-x.y.z",), f"unknown option at position 6 ({STRAY}); a token that begins with '-' goes after '--'"),
    (("open", "--bogus", "--help"), "unknown option '--bogus'"),
    (O + ("-h", "a.b.c"), "option '-h' is accepted only as the only argument, to ask for help"),
    (O, "TOKEN is missing: give the token after '--', or '-' to read it from standard input"),
    (O + ("--",), "TOKEN is missing"),
    (R, "TOKEN is missing"),
    (("inspect", "--json"), "TOKEN is missing"),
    (("inspect", "--json=yes", "a.b.c"), "option '--json' takes no value"),
    (("inspect", "a.b.c", "d.e.f"), f"unexpected argument at position 3 ({STRAY})"),
    (("keygen", "128"), f"unexpected argument at position 2 ({STRAY})"),
    (("keygen", "--bits", "128"), "unknown option '--bits'"),
])
def test_usage_errors(run, args, problem):
    result = run(*args)
    assert (result.returncode, result.stdout) == (EXIT_USAGE, b"")
    message = result.stderr.decode()
    assert message.startswith(f"norvane {args[0]}: {problem}")
    assert message.endswith(f"\nTry 'norvane {args[0]} --help'.\n")


@pytest.mark.parametrize("args", [
    ("inspect", "{t}", "{t}"), ("open", "--backend", "aes256gcm", "--key-env", KEY_VAR, "{t}", "{t}"),
    ("mint", "--backend", "aes256gcm", "--key-env", KEY_VAR, "{t}"), ("rotate", "{t}", "{t}"), ("keygen", "{t}"),
    ("{t}",), ("--version", "{t}"), ("mint", "-{t}"), ("open", "--backend", "{t}", "--key-env", KEY_VAR, "{t}"),
])
def test_a_stray_token_is_never_shown(run, args):
    token = Norvane(Backend.AES256_GCM, key=KEY).encrypt(b"bearer")
    result = run(*(a.format(t=token) for a in args))
    assert result.returncode == EXIT_USAGE and result.stdout == b""
    for piece in [token, *token.split(".")]:
        assert piece not in result.stderr.decode()


@pytest.mark.parametrize("args", [(), ("frobnicate",), ("--backend",)])
def test_without_a_known_command_the_overview_goes_to_stderr(run, args):
    result = run(*args)
    assert (result.returncode, result.stdout) == (EXIT_USAGE, b"")
    assert "usage: norvane <command>" in result.stderr.decode()


@pytest.mark.parametrize("args, options", [
    (("inspect", "--help"), ["--json"]),
    (("mint", "-h"), ["--backend", "--key-env", "--expires-at", "--ttl", "--purpose"]),
    (("open", "-h"), ["--backend", "--key-env", "--purpose"]),
    (("rotate", "--help"), ["--backend", "--key-env", "--purpose"]),
    (("keygen", "-h"), []),
])
def test_help_per_command(run, args, options):
    result = run(*args)
    assert (result.returncode, result.stderr) == (EXIT_OK, b"")
    text = result.stdout.decode()
    assert re.match(rf"usage: norvane {args[0]}\b", text) and "Exit status: 0" in text
    assert all(option in text for option in options + ["--help"])


def test_overview_help_and_version(run):
    overview = run("--help").stdout.decode()
    assert all(re.search(rf"^  {c} ", overview, re.MULTILINE) for c in ("inspect", "keygen", "mint", "open", "rotate"))
    assert run("--version").stdout == b"norvane 3.0.0\n"


@pytest.mark.parametrize("args, message", [
    (("--version", "extra"), f"norvane: --version takes no arguments; unexpected argument at position 2 ({STRAY})\n"
                             "Try 'norvane --help'.\n"),
    (("--help", "extra"), f"norvane: --help takes no arguments; unexpected argument at position 2 ({STRAY})\n"
                          "Try 'norvane --help'.\n"),
    (("-h", "open"), "norvane: -h takes no arguments; unexpected argument at position 2"),
    (("help", "open"), "norvane: help takes no arguments; unexpected argument at position 2"),
    (("frobnicate",), "norvane: unknown command 'frobnicate'\n\nusage: norvane <command>"),
    (("a.b.c",), f"norvane: unknown command ({STRAY})\n\nusage: norvane <command>"),
])
def test_usage_errors_without_a_command(run, args, message):
    result = run(*args)
    assert (result.returncode, result.stdout) == (EXIT_USAGE, b"")
    assert result.stderr.decode().startswith(message)


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("args, stdin", [
    (("--help",), b""), (("help",), b""), (("--version",), b""), (("inspect", "--help"), b""),
    (("mint", "-h"), b""), (("open", "--help"), b""), (("rotate", "--help"), b""), (("keygen", "--help"), b""),
    (("keygen",), b""), (("inspect", "--json", "-"), b"{token}"), (M, b"data"), (O + ("-",), b"{token}"),
    (R + ("-",), b"{token}"),
])
def test_a_failed_write_to_standard_output_is_a_failure(run, args, stdin):
    token = Norvane(Backend.AES256_GCM, key=KEY).encrypt(b"x" * 9000).encode()
    with open("/dev/full", "wb") as full:
        result = run(*args, stdin=stdin.replace(b"{token}", token), stdout=full)
    assert (result.returncode, result.stderr) == (EXIT_REFUSED, b"norvane: cannot write to standard output\n")


# -- the documentation's examples --------------------------------------------------------------------


def _shell_examples():
    root = pathlib.Path(__file__).resolve().parents[2]
    readme = (root / "README.md").read_text()
    section = readme[readme.index("## Command line"):]
    return [("README", re.search(r"```sh\n(.*?)```", section, re.DOTALL).group(1)),
            ("cli.md", re.search(r"```sh\n(.*?)```", (root / "docs" / "cli.md").read_text(), re.DOTALL).group(1))]


@pytest.mark.parametrize("script", [s for _, s in _shell_examples()], ids=[n for n, _ in _shell_examples()])
def test_the_documented_shell_examples_run_as_written(cli, tmp_path, script):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "norvane").symlink_to(cli)
    env = {k: v for k, v in os.environ.items() if not k.startswith("APP_")}
    env["PATH"] = f"{bin_dir}{os.pathsep}{env.get('PATH', '')}"
    result = subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=tmp_path, capture_output=True, env=env,
                            timeout=60)
    assert (result.returncode, result.stderr) == (0, b""), result.stderr
    assert b"user=42" in result.stdout and b"tag: unverified" in result.stdout


# -- keygen, several keys, rotate ------------------------------------------------------------------


def test_keygen_prints_fresh_keys_that_key_env_reads(run, backend_arg):
    results = [run("keygen", key=None) for _ in range(8)]
    assert all((r.returncode, r.stderr) == (EXIT_OK, b"") for r in results)
    texts = [r.stdout.decode() for r in results]
    assert all(re.fullmatch(r"(0|[1-9][0-9]{0,38})\n", t) for t in texts) and len(set(texts)) == 8
    keys = [int(t) for t in texts]
    assert all(k < 2**128 for k in keys) and max(keys).bit_length() > 120  # 128 random bits, not 64
    minted = run(*keyed("mint", backend_arg), stdin=b"keyed", key=texts[0][:-1])
    assert Norvane(BACKENDS[backend_arg], key=keys[0]).decrypt(minted.stdout.decode()[:-1]) == b"keyed"


RING = {"A": KEY, "B": OTHER_KEY, "C": KEY ^ 2}


@pytest.mark.parametrize("ring, minted_under, mint_options, open_options, expected", [
    ("AB", "A", (), (), b"data"),
    ("AB", "B", ("--expires-at", "4000000000"), (), b"data"),
    ("ABC", "C", ("--purpose", "p"), ("--purpose", "p"), b"data"),
    ("AB", "C", (), (), TAMPERED),
    ("AB", "B", ("--expires-at", "1"), (), "token has expired"),  # A moves on, B's refusal is final
    ("AB", "B", ("--purpose", "p"), (), WRONG_PURPOSE),
    # Every key must be valid, even when the first opens.
    ("AX", "A", (), (), "norvane: environment variable NORVANE_CLI_RING_X is not set"),
])
def test_open_and_rotate_try_the_keys_in_order(run, backend_arg, ring, minted_under, mint_options, open_options,
                                               expected):
    env = {f"NORVANE_CLI_RING_{name}": str(key) for name, key in RING.items()}
    minted = run("mint", "--backend", backend_arg, "--key-env", f"NORVANE_CLI_RING_{minted_under}", *mint_options,
                 stdin=b"data", env=env)
    token = minted.stdout.decode()[:-1]
    keys = [arg for name in ring for arg in ("--key-env", f"NORVANE_CLI_RING_{name}")]
    opened = run("open", "--backend", backend_arg, *keys, *open_options, "--", token, env=env)
    rotated = run("rotate", "--backend", backend_arg, *keys, *open_options, "-", env=env,
                  stdin=token.encode() + b"\n")
    if isinstance(expected, str):
        hint = {TAMPERED: HINT_KEY, WRONG_PURPOSE: HINT_PURPOSE}.get(expected)
        refused_with(opened, expected, hint)
        refused_with(rotated, expected, hint)
        return
    assert (opened.returncode, opened.stdout) == (EXIT_OK, expected)
    assert rotated.returncode == EXIT_OK and rotated.stdout.count(b"\n") == 1
    moved = rotated.stdout.decode()[:-1]
    purpose = dict(zip(open_options[::2], open_options[1::2])).get("--purpose", "session")
    assert Norvane(BACKENDS[backend_arg], key=RING[ring[0]]).decrypt_for(moved, purpose) == expected
    assert fields(moved)[1] == fields(token)[1]  # the same context record: expiry and purpose kept
    if ring[0] != minted_under:
        with pytest.raises(ValueError, match=f"^{TAMPERED}$"):
            Norvane(BACKENDS[backend_arg], key=RING[minted_under]).decrypt_for(moved, purpose)


def test_open_takes_an_empty_purpose_where_minting_refuses_it(run):
    refused_with(run(*O, "--purpose", "", "--", mint(run, "aes256gcm", b"x")), WRONG_PURPOSE, HINT_PURPOSE)
