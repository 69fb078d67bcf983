#!/usr/bin/env python3
"""Twenty tarvo.register calls in one process on one fixed image object: resident memory
after each call, and the seconds per call. Run with the Python that has tarvo installed:
    python bench/python_leak.py [count]
A leak shows as RSS growing from call to call after the first few."""
import os
import sys
import time

import nibabel as nib
import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))
from conftest import affine, head  # noqa: E402

import tarvo  # noqa: E402


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    shape = (32, 36, 32)
    fixed = nib.Nifti1Image(head(shape, contrast="t1", seed=1), affine(shape))
    moving = (head(shape, contrast="t2", seed=2), affine(shape, shift=(7, -4, 3)))
    sizes, times = [], []
    for i in range(count):
        t0 = time.perf_counter()
        res = tarvo.register(moving, fixed)
        times.append(time.perf_counter() - t0)
        sizes.append(rss_mb())
        print(f"call {i + 1:2d}: {times[-1]:.2f} s, cost {res.cost:.6f}, RSS {sizes[-1]:.1f} MiB", flush=True)
    print(f"device {res.device}; RSS growth from call 3 to call {count}: {sizes[-1] - sizes[2]:+.2f} MiB; "
          f"median {sorted(times)[len(times) // 2]:.2f} s per call")


if __name__ == "__main__":
    main()
