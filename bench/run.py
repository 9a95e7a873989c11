"""Runs the benchmarks: every bench_*.py beside this file, or the ones named.

    python bench/run.py                    # all of them
    python bench/run.py bench_values.py    # just one

This file is also the harness the benchmark scripts share (they import it as
`run`): each contender is timed and measured in a fresh child process running
the benchmark script itself with `--child`, so one reader's imports, caches and
heap never weigh on another's figures.

Peak memory is the child's ru_maxrss after the work, minus that of an idle
child that imported the same modules and did nothing else. Linux carries the
peak of the process image a child replaced over into its ru_maxrss, so the
process that starts the children must itself stay small: build large inputs
in a child of their own.
"""

from __future__ import annotations

import json
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent


@dataclass
class Contender:
    """A reader under test. `load` imports what it needs and returns the
    function that reads the whole workbook at a path and returns how many
    cell values it produced."""
    name: str
    load: Callable[[], Callable[[str], int]]


@dataclass
class Measurement:
    name: str
    median_s: float | None = None
    peak_mib: float | None = None
    cells: int | None = None
    note: str = ""


def _maxrss_kib() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def child_main(contenders: list[Contender], argv: list[str]) -> bool:
    """The child side: `script --child NAME PATH REPS idle|work`. Returns False
    when argv is not a child invocation."""
    if len(argv) < 2 or argv[1] != "--child":
        return False
    name, path, reps, mode = argv[2], argv[3], int(argv[4]), argv[5]
    reader = {c.name: c for c in contenders}[name].load()
    if mode == "idle":
        print(json.dumps({"maxrss_kib": _maxrss_kib()}))
        return True
    times, cells = [], 0
    for _ in range(reps):
        start = time.perf_counter()
        cells = reader(path)
        times.append(time.perf_counter() - start)
    print(json.dumps({"times": times, "cells": cells, "maxrss_kib": _maxrss_kib()}))
    return True


def measure(script: str, contender: Contender, path: str, reps: int) -> Measurement:
    """Median time over `reps` runs and peak memory above an idle child."""
    def child(mode: str) -> dict:
        proc = subprocess.run([sys.executable, script, "--child", contender.name, path, str(reps), mode],
                              capture_output=True, text=True)
        if proc.returncode != 0:
            lines = proc.stderr.strip().splitlines() or ["failed"]
            raise RuntimeError(lines[-1])
        return json.loads(proc.stdout.strip().splitlines()[-1])

    try:
        idle = child("idle")
        work = child("work")
    except RuntimeError as exc:
        return Measurement(contender.name, note=str(exc))
    return Measurement(contender.name, statistics.median(work["times"]),
                       max(0, work["maxrss_kib"] - idle["maxrss_kib"]) / 1024, work["cells"])


def load_zlib_only():
    """The floor any reader of the file pays: inflate every part with zlib
    (CRC-32 checked), decode nothing."""
    def read(path: str) -> int:
        with zipfile.ZipFile(path) as z:
            for info in z.infolist():
                z.read(info)
        return -1
    return read


ZLIB_ONLY = Contender("zlib inflate of the parts only", load_zlib_only)


def reps_from(argv: list[str], default: int) -> int:
    return int(argv[argv.index("--reps") + 1]) if "--reps" in argv else default


def measure_workbook(script: str, contenders: list[Contender], file_name: str, reps: int,
                     describe: Callable[[int, int], str]) -> list[Measurement]:
    """Builds the script's workbook (`script --build PATH`) in a child, so this
    process stays small, prints `describe(file bytes, inflated bytes)` and
    measures every contender on it."""
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / file_name
        subprocess.run([sys.executable, script, "--build", str(path)], check=True)
        with zipfile.ZipFile(path) as z:
            inflated = sum(i.file_size for i in z.infolist())
        print(describe(path.stat().st_size, inflated))
        return [measure(script, c, str(path), reps) for c in contenders]


def _ratio(value: float | None, base: float | None) -> str:
    if value is None or not base:
        return "-"
    return f"{value / base:.2f}x"


def print_table(title: str, rows: list[Measurement]) -> None:
    """The first row is the reference the ratios are taken against."""
    base = rows[0]
    print(f"\n{title}")
    header = f"{'contender':<34} {'median s':>9} {'ratio':>8} {'peak MiB':>9} {'ratio':>8} {'cells':>10}"
    print(header)
    print("-" * len(header))
    for m in rows:
        if m.median_s is None:
            print(f"{m.name:<34} {'':>9} {'':>8} {'':>9} {'':>8} {'':>10}  ({m.note})")
            continue
        cells = "-" if m.cells is None or m.cells < 0 else f"{m.cells:,}"
        print(f"{m.name:<34} {m.median_s:>9.3f} {_ratio(m.median_s, base.median_s):>8} "
              f"{m.peak_mib:>9.1f} {_ratio(m.peak_mib, base.peak_mib):>8} {cells:>10}")


def main(argv: list[str]) -> int:
    names = argv[1:] or sorted(p.name for p in HERE.glob("bench_*.py"))
    failed = 0
    for name in names:
        path = HERE / Path(name).name
        if not path.is_file():
            print(f"no benchmark {name} in {HERE.name}/", file=sys.stderr)
            return 2
        print(f"=== {path.name}", flush=True)
        failed += subprocess.run([sys.executable, str(path)]).returncode != 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
