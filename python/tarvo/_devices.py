"""The backend a call runs on: its name (auto, cpu, cuda; TARVO_DEVICE) and CPU threads."""

from __future__ import annotations

import os
from typing import Optional

import numpy as np

_DEVICES = ("auto", "cpu", "cuda")


def _device_name(device: str) -> str:
    if device not in _DEVICES:
        raise ValueError(f"device must be auto, cpu or cuda, not {device!r}")
    if device == "auto":
        env = os.environ.get("TARVO_DEVICE", "")
        if env:
            if env not in _DEVICES:
                raise ValueError(f"TARVO_DEVICE must be auto, cpu or cuda, not {env!r}")
            return env
    return device


def _threads(threads: Optional[int]) -> int:
    if threads is None:
        return 0
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)) or not 1 <= threads <= 4096:
        raise ValueError(f"threads must be a whole number from 1 to 4096, not {threads!r}")
    return int(threads)
