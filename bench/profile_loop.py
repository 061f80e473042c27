"""A tight loop of one norvanes operation, to run under a profiler.

    build/bench-venv/bin/python bench/profile_loop.py aes mint 64 2000000

Arguments: backend (aes | xchacha), operation (mint | open), payload bytes, iterations.
With perf (Debian's linux-perf), on a module built with symbols
(pip install --config-settings=install.strip=false .):

    perf record -e cpu-clock -F 5000 -g -o build/perf-aes-mint.data -- \
        build/bench-venv/bin/python -X perf bench/profile_loop.py aes mint 64 2000000
    perf report -i build/perf-aes-mint.data --no-children --percent-limit 1 --stdio

-X perf lets perf name the Python frames. py-spy works too:
py-spy record --native -o build/aes-mint.svg -- <the same python command>.
"""

import os
import sys

if os.environ.get("NORVANES_PATH"):
    sys.path.insert(0, os.environ["NORVANES_PATH"])

from norvanes import Backend, Norvane  # noqa: E402


def main():
    backend, op, size, iterations = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    nv = Norvane(Backend.AES256_GCM if backend == "aes" else Backend.XCHACHA20_POLY1305,
                 key=0x2F6B_1C9A_0D4E_7781_93A5_C6E0_1B2D_3F47)
    data = b"a" * size
    if op == "mint":
        f, x = nv.encrypt, data
    else:
        f, x = nv.decrypt, nv.encrypt(data)
    for _ in range(iterations):
        f(x)


if __name__ == "__main__":
    main()
