"""The documentation holds: the README's example runs as its comments say
and its sample fields are what the module writes, the worked example of
docs/format.md computes and opens as written, and docs/errors.md has every
message the module raises."""

import ast
import hashlib
import pathlib
import re
import textwrap

import pytest

from norvanes import Backend, Norvane

from conftest import KEY, b64d, b64e, context_record

README = (pathlib.Path(__file__).resolve().parents[2] / "README.md").read_text()
DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs"
FORMAT = (DOCS / "format.md").read_text()
ERRORS = (DOCS / "errors.md").read_text()
TOKEN_LINE = re.compile(r"^([A-Za-z0-9_-]+={0,2}\.[A-Za-z0-9_-]+={0,2}\.[A-Za-z0-9_-]+={0,2})$", re.MULTILINE)


def readme_blocks():
    return re.findall(r"```python\n(.*?)```", README, re.DOTALL)


def readme_example():
    return readme_blocks()[0]


def readme_keyring_example():
    blocks = [block for block in readme_blocks() if "norvanes_keyring" in block]
    assert len(blocks) == 1
    return blocks[0]


@pytest.mark.parametrize("index", [0, 1])
def test_readme_examples_import_only_what_they_use(index):
    tree = ast.parse(readme_blocks()[index])
    imported = {alias.asname or alias.name for node in ast.walk(tree) if isinstance(node, (ast.Import, ast.ImportFrom))
                for alias in node.names}
    used = {node.id for node in ast.walk(tree) if isinstance(node, ast.Name)}
    assert imported and imported <= used, imported - used


def test_readme_example_runs_as_its_comments_say(monkeypatch):
    """Each line runs in turn; a comment `b"..."` is the value the line gives,
    `ValueError: ...` the refusal it raises, and the sample token's context
    field is the one the module writes for that expiry."""
    monkeypatch.setenv("APP_TOKEN_KEY", str(KEY))
    namespace: dict = {}
    checked = []
    for line in readme_example().splitlines():
        code, _, comment = (part.strip() for part in line.partition("  # "))
        if comment.startswith("ValueError: "):
            with pytest.raises(ValueError) as error:
                exec(code, namespace)
            assert str(error.value) == comment.removeprefix("ValueError: ")
            checked.append("refusal")
        elif comment.startswith('b"'):
            assert eval(code, namespace) == ast.literal_eval(comment)
            checked.append("value")
        else:
            exec(code, namespace)
        sample = re.fullmatch(r'str, e\.g\. "[^".]*\.([A-Za-z0-9_-]+={0,2})\.[^".]*"', comment)
        if sample:
            expires_at = int(re.search(r"expires_at=([\d_]+)", code).group(1))
            assert sample.group(1) == namespace["token"].split(".")[1] == b64e(context_record(expires_at, "session"))
            checked.append("sample")
    assert sorted(checked) == ["refusal", "sample", "value", "value"]


def test_readme_keyring_example_runs_for_a_reader_with_the_one_key(monkeypatch):
    """The reader has made the one key that the README tells them to make,
    APP_TOKEN_KEY, and nothing else. The block runs as written; an
    assignment whose comment is `b"..."` gives that value."""
    monkeypatch.setenv("APP_TOKEN_KEY", str(KEY))
    monkeypatch.delenv("APP_TOKEN_KEY_PREVIOUS", raising=False)
    block = readme_keyring_example()
    namespace: dict = {}
    exec(block, namespace)
    values = re.findall(r"^\s*(\w+) = .*  # (b\"[^\"]*\")$", block, re.MULTILINE)
    assert values, "the block shows the value it opens"
    for name, shown in values:
        assert namespace[name] == ast.literal_eval(shown)
    assert Norvane(Backend.AES256_GCM, key=KEY).decrypt_for(namespace["token"], "password-reset") == b"user=42"


def test_readme_format_section_matches_the_module():
    box = {name: Norvane(getattr(Backend, name), key=KEY) for name in ("AES256_GCM", "XCHACHA20_POLY1305")}
    field = re.search(r"No expiry and the purpose \"session\" give the field\s+`([^`]+)`", README).group(1)
    assert field == box["AES256_GCM"].encrypt(b"x").split(".")[1]
    sizes = re.search(r"A 5-byte payload makes a (\d+)-character AES-256-GCM token \((\d+) with", README)
    assert [int(n) for n in sizes.groups()] == [len(box[name].encrypt(b"hello")) for name in box]


def worked_key():
    match = re.search(r"\| key \| `(\d+)` = 0x([0-9a-f]{32}) \|", FORMAT)
    assert match, "the worked example's key row"
    assert int(match.group(1)) == int(match.group(2), 16)
    return int(match.group(1))


def worked_tokens():
    tokens = sorted(set(TOKEN_LINE.findall(FORMAT)), key=len)
    assert [len(t) for t in tokens] == [70, 86]
    return dict(zip(["aes256gcm", "xchacha20poly1305"], tokens))


@pytest.mark.parametrize("label", ["aes256gcm", "xchacha20poly1305"])
def test_worked_example_fields(label):
    nonce, context, sealed = (b64d(f) for f in worked_tokens()[label].split("."))
    assert nonce == bytes(range(0xA0, 0xA0 + len(nonce)))
    assert context == b"\x01" + (1900000000).to_bytes(8, "big") + b"\x07session"
    assert len(sealed) == len(b"hello") + 16
    cipher_key = hashlib.sha256(worked_key().to_bytes(16, "big") + label.encode()).hexdigest()
    assert f"`{cipher_key}`" in FORMAT


def test_worked_example_opens_until_its_expiry(run_with_clock):
    child = run_with_clock(
        f"""
        import os
        from norvanes import Backend, Norvane
        key = {worked_key()}
        tokens = {worked_tokens()!r}
        backends = {{"aes256gcm": Backend.AES256_GCM, "xchacha20poly1305": Backend.XCHACHA20_POLY1305}}
        for label, token in sorted(tokens.items()):
            box = Norvane(backends[label], key=key)
            os.environ["NORVANE_TEST_CLOCK"] = "1899999999"
            print(label, box.decrypt(token))
            os.environ["NORVANE_TEST_CLOCK"] = "1900000000"
            try:
                box.decrypt(token)
            except ValueError as error:
                print(label, error)
        """
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.splitlines() == [
        "aes256gcm b'hello'",
        "aes256gcm token has expired",
        "xchacha20poly1305 b'hello'",
        "xchacha20poly1305 token has expired",
    ]


def _raised_messages():
    box = Norvane(Backend.AES256_GCM, key=KEY)
    token = box.encrypt(b"x", purpose="p")
    nonce, context, sealed = token.split(".")
    modified = f"{nonce}.{context}.{'B' if sealed[0] == 'A' else 'A'}{sealed[1:]}"
    attempts = [
        lambda: Norvane(Backend.AES256_GCM),
        lambda: Norvane(Backend.AES256_GCM, key_env="NORVANE_DOCS_UNSET\0"),
        lambda: Norvane(Backend.AES256_GCM, key=1, key_env="X"),
        lambda: box.decrypt(""),
        lambda: box.decrypt_for(modified, "p"),
        lambda: box.decrypt(box.encrypt(b"x", expires_at=1)),
        lambda: box.encrypt(b"x", expires_at=0),
        lambda: box.decrypt(token),
        lambda: box.encrypt(b"x", purpose=""),
        lambda: box.encrypt(b"x", purpose="p" * 256),
        lambda: box.encrypt(b"x" * 16385),
        lambda: box.decrypt(token + ".x"),
    ]
    messages = []
    for attempt in attempts:
        with pytest.raises(ValueError) as error:
            attempt()
        messages.append(str(error.value))
    return messages


def test_errors_page_lists_every_message():
    rows = re.findall(r"^\| `(\w+)` \| \"([^\"]+)\" \|", ERRORS, re.MULTILINE)
    assert len(rows) == 14 and len({message for _, message in rows}) == 14
    documented = {message for _, message in rows}
    raised = _raised_messages()
    assert len(set(raised)) == len(raised)
    assert set(raised) <= documented
    # The two that no call can provoke here: a non-UTF-8 plaintext needs an
    # authentic token minting never makes, and randomness does not fail.
    assert documented - set(raised) == {"decrypted data was not valid UTF-8",
                                        "operating system randomness is unavailable"}


def test_rotation_example_falls_back_to_the_previous_key(monkeypatch):
    block = re.search(r"```python\n(from norvanes import.*?)```", (DOCS / "security.md").read_text(), re.DOTALL)
    monkeypatch.setenv("APP_TOKEN_KEY", str(KEY))
    monkeypatch.setenv("APP_TOKEN_KEY_PREVIOUS", str(KEY ^ 0xFF))
    namespace: dict = {}
    exec(textwrap.dedent(block.group(1)), namespace)
    old = Norvane(Backend.XCHACHA20_POLY1305, key=KEY ^ 0xFF).encrypt(b"old")
    new = Norvane(Backend.XCHACHA20_POLY1305, key=KEY).encrypt(b"new")
    stranger = Norvane(Backend.XCHACHA20_POLY1305, key=KEY ^ 1).encrypt(b"x")
    assert namespace["open_session"](old) == b"old"
    assert namespace["open_session"](new) == b"new"
    with pytest.raises(ValueError, match="^the data has been modified$"):
        namespace["open_session"](stranger)
    with pytest.raises(ValueError, match="^token was not minted"):
        namespace["open_session"](Norvane(Backend.XCHACHA20_POLY1305, key=KEY).encrypt(b"x", purpose="other"))
