"""Forked children minting with their parent's object.

Nonces come straight from the kernel for every token (getrandom), so a
forked child shares no random state with its parent or its siblings: no two
tokens minted across the fork may carry the same nonce, and every child's
token opens with the parent's object.
"""

import os
import sys
import warnings

import pytest

from norvanes import Backend, Norvane

from conftest import BACKEND_NAMES, KEY, NONCE_LEN, fields

CHILDREN = 8
PER_PROCESS = 64

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")


def mint_in_children(box, children=CHILDREN, per_child=PER_PROCESS):
    """Fork `children` processes; each mints per_child tokens with `box`
    and writes them back one per line. Returns the tokens of each child."""
    readers = []
    pids = []
    with warnings.catch_warnings():
        # Forking while other threads exist is what this test is about.
        warnings.simplefilter("ignore", DeprecationWarning)
        for index in range(children):
            r, w = os.pipe()
            pid = os.fork()
            if pid == 0:  # child
                status = 0
                try:
                    os.close(r)
                    data = "\n".join(box.encrypt(f"child {index} #{i}".encode()) for i in range(per_child))
                    with os.fdopen(w, "w") as out:
                        out.write(data)
                except BaseException:
                    status = 1
                finally:
                    os._exit(status)
            os.close(w)
            readers.append(r)
            pids.append(pid)
    results = []
    for r in readers:
        with os.fdopen(r) as pipe:
            results.append(pipe.read().split("\n"))
    for pid in pids:
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
    return results


@pytest.mark.parametrize("backend_name", BACKEND_NAMES)
def test_forked_children_draw_distinct_nonces(backend_name):
    box = Norvane(getattr(Backend, backend_name), key=KEY)
    # The parent mints before and after forking: whatever it has done must
    # not be repeated by a child.
    before = [box.encrypt(b"parent before") for _ in range(PER_PROCESS)]
    per_child = mint_in_children(box)
    after = [box.encrypt(b"parent after") for _ in range(PER_PROCESS)]

    tokens = before + after + [t for child in per_child for t in child]
    assert all(len(child) == PER_PROCESS for child in per_child)
    nonces = [fields(t)[0] for t in tokens]
    assert all(len(n) == NONCE_LEN[backend_name] for n in nonces)
    assert len(set(nonces)) == len(nonces)

    # Every child's token is a real token of the parent's object.
    for index, child in enumerate(per_child):
        for i, token in enumerate(child):
            assert box.decrypt(token) == f"child {index} #{i}".encode()


def test_children_forked_from_one_parent_at_the_same_point_differ():
    # Two children forked back to back start from identical memory; their
    # first tokens (same data, same object) must still differ.
    box = Norvane(Backend.AES256_GCM, key=KEY)
    box.encrypt(b"warm up")
    firsts = [child[0] for child in mint_in_children(box, children=4, per_child=1)]
    assert len(set(firsts)) == 4
    assert len({fields(t)[0] for t in firsts}) == 4


@pytest.mark.skipif(sys.platform != "linux", reason="Linux fork semantics")
def test_child_of_a_child_still_differs():
    box = Norvane(Backend.XCHACHA20_POLY1305, key=KEY)
    r, w = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
        if pid == 0:
            status = 0
            try:
                os.close(r)
                grand = mint_in_children(box, children=2, per_child=8)
                mine = [box.encrypt(b"middle") for _ in range(8)]
                with os.fdopen(w, "w") as out:
                    out.write("\n".join(mine + grand[0] + grand[1]))
            except BaseException:
                status = 1
            finally:
                os._exit(status)
    os.close(w)
    with os.fdopen(r) as pipe:
        tokens = pipe.read().split("\n")
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    tokens += [box.encrypt(b"top") for _ in range(8)]
    assert len(tokens) == 32
    assert len({fields(t)[0] for t in tokens}) == 32
    assert all(box.decrypt(t) in (b"middle", b"top") or box.decrypt(t).startswith(b"child ") for t in tokens)
