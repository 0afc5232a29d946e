"""Resident memory of this process, read from /proc (Linux only).

The peak (VmHWM) can be reset by writing 5 to /proc/self/clear_refs, so one
process can measure the peak of several calls one after the other: settle,
reset, note the resident size, call, read the peak.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import gc
from collections.abc import Callable

_libc = ctypes.CDLL(ctypes.util.find_library("c"))


def status_kib(field: str) -> int:
    """A size from /proc/self/status, in KiB (VmRSS, VmHWM, ...)."""
    with open("/proc/self/status") as status:
        for line in status:
            name, _, rest = line.partition(":")
            if name == field:
                return int(rest.split()[0])
    raise KeyError(field)


def settle() -> None:
    """Collect garbage and hand free heap pages back to the system.

    Without the trim, memory freed by an earlier call stays resident and the
    next call reuses it unseen, so its growth would read too small.
    """
    gc.collect()
    _libc.malloc_trim(0)


def reset_peak() -> None:
    """Make the peak resident size start again from the current one."""
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")


def peak_growth_kib(call: Callable[[], object]) -> int:
    """How far the peak resident size rose above the settled size during ``call``."""
    settle()
    reset_peak()
    base = status_kib("VmRSS")
    call()
    return status_kib("VmHWM") - base


class RssSampler:
    """Notes the resident size every ``every`` steps, about ``samples`` times in all."""

    def __init__(self, total: int, samples: int = 10) -> None:
        self.every = max(1, total // samples)
        self.samples: list[tuple[int, float]] = []

    def step(self, done: int) -> None:
        """Called with the number of steps done so far."""
        if done % self.every == 0:
            self.samples.append((done, status_kib("VmRSS") / 1024))
