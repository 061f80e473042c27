"""Many threads minting and opening on shared objects at once."""

import sys
import threading

import pytest

from norvanes import Backend, Norvane

from conftest import KEY

THREADS = 8
ROUNDS = 300


@pytest.fixture
def busy_switching():
    """Switch threads as often as the interpreter allows, to interleave calls."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(worker):
    barrier = threading.Barrier(THREADS)
    failures = []

    def body(index):
        try:
            barrier.wait()
            worker(index)
        except BaseException as error:  # report everything, faults included
            failures.append((index, repr(error)))

    threads = [threading.Thread(target=body, args=(i,), name=f"worker-{i}") for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads)
    assert failures == []


def test_one_object_shared_by_many_threads(box, busy_switching):
    minted = [[] for _ in range(THREADS)]

    def worker(index):
        for round_ in range(ROUNDS):
            data = f"thread {index} round {round_} \u00e9".encode()
            purpose = f"p{index % 3}"
            token = box.encrypt(data, expires_at=2**63 + round_, purpose=purpose)
            assert box.decrypt_for(token, purpose) == data
            try:
                box.decrypt(token)
            except ValueError as error:
                assert str(error) == "token was not minted for the expected purpose"
            else:
                raise AssertionError("opened for the wrong purpose")
            minted[index].append((token, purpose, data))

    run_threads(worker)
    tokens = [token for per_thread in minted for token, _, _ in per_thread]
    assert len(set(tokens)) == THREADS * ROUNDS
    # Everything minted concurrently still opens afterwards.
    for per_thread in minted:
        for token, purpose, data in per_thread:
            assert box.decrypt_for(token, purpose) == data


def test_constructing_and_using_objects_concurrently(busy_switching):
    shared = {name: Norvane(getattr(Backend, name), key=KEY) for name in ("AES256_GCM", "XCHACHA20_POLY1305")}

    def worker(index):
        name = "AES256_GCM" if index % 2 else "XCHACHA20_POLY1305"
        for round_ in range(ROUNDS // 3):
            own = Norvane(getattr(Backend, name), key=KEY)
            data = bytes([65 + index]) * (round_ % 50)
            assert shared[name].decrypt(own.encrypt(data)) == data
            assert own.decrypt(shared[name].encrypt(data)) == data
            assert repr(getattr(Backend, name)) == f"Backend.{name}"

    run_threads(worker)
