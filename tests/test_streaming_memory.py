"""dump_json_big holds no more than the code table, whatever the chain hands it."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

# A chain that exists only while it is written: every start, next start and
# value is made afresh as it is handed out, as a chain reading its entries
# from a database would make them. Prints the document's size and how far
# the peak resident size rose above the size right before the call.
WRITER = textwrap.dedent(
    """
    import gc, os, sys
    import tesmo_cjson

    VOCABULARY, CHOICES = 2000, 20

    class Bag:
        unique_count = CHOICES

        def __init__(self, seed):
            self.seed = seed

        def choices(self):
            s = self.seed
            for _ in range(CHOICES):
                s = (s * 1103515245 + 12345) & 0x7FFFFFFF
                yield (f"w{s % VOCABULARY}", f"w{(s >> 8) % VOCABULARY}"), 1 + s % 7

    class Chain:
        def __init__(self, entries):
            self.entries = entries

        def __len__(self):
            return self.entries

        def build_frequency_dict(self):
            return {f"w{i}": VOCABULARY - i for i in range(VOCABULARY)}

        def items(self):
            for i in range(self.entries):
                yield f"w{i % VOCABULARY}", Bag(i)

    def kib(field):
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith(field + ":"))

    path, entries, compressed = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1"
    with open(path, "w", encoding="ascii") as file:
        gc.collect()
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
        base = kib("VmRSS")
        tesmo_cjson.dump_json_big(Chain(entries), file, compressed)
        peak = kib("VmHWM")
    print(os.path.getsize(path), (peak - base) * 1024)
    """
)


@pytest.mark.slow
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the peak resident size from /proc")
@pytest.mark.parametrize("compressed", [True, False])
def test_writer_memory_stays_flat_for_a_generating_chain(tmp_path, compressed):
    path = tmp_path / "chain.json"
    # ASan's quarantine keeps freed blocks resident; they are not the writer's memory.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=1")
    run = subprocess.run(
        [sys.executable, "-c", WRITER, str(path), "120000", "1" if compressed else "0"],
        capture_output=True,
        text=True,
        check=True,
        env=env,
    )
    size, growth = map(int, run.stdout.split())
    assert size > 30_000_000
    assert growth < 20 * 2**20, f"peak grew by {growth / 2**20:.0f} MB writing {size / 1e6:.0f} MB"
