"""Leaks, reference counts, threads and memory exhaustion.

These drive whole calls many times over, in threads and in child
interpreters, and check that nothing accumulates, nothing is shared between
calls and an allocation failure surfaces as an exception.
"""

import gc
import os
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

from xlsb_builder import (
    build_xlsb,
    cell_bool,
    cell_error,
    cell_isst,
    cell_real,
    fmla_num,
    name_record,
    ptg_exp,
    ptg_int,
    row,
    shr_fmla,
)

TESTS = Path(__file__).resolve().parent
CORPUS = TESTS.parents[2] / "shared" / "corpus"
SANITIZED = bool(os.environ.get("MDN_SANITIZED"))

# SUM(1,2) as a variable-count call: the first render of a function name
# fills the function table.
SUM_CALL = ptg_int(1) + ptg_int(2) + bytes([0x22, 2, 4, 0])
REF_SHIFTED = bytes([0x2C]) + (0).to_bytes(4, "little") + (0xC000 | 0x3FFF).to_bytes(2, "little")  # RC[-1]


def formula_workbook() -> bytes:
    """A small workbook that exercises every report path."""
    cells = [
        row(0), cell_real(0, 1.5), cell_isst(1, 0), cell_bool(2, 1), cell_error(3, 7),
        fmla_num(4, 3.0, SUM_CALL),
        shr_fmla((1, 3), (1, 1), REF_SHIFTED),
    ]
    for r in range(1, 4):
        cells += [row(r), fmla_num(1, 0.0, ptg_exp(1))]
    cells += [fmla_num(2, 0.0, ptg_exp(40))]  # a follower without a group
    names = [name_record("Total", SUM_CALL)]
    return build_xlsb([("Data", cells)], shared_strings=["alpha"], names=names)


def corpus_samples(limit: int = 4) -> list[bytes]:
    """A few real workbooks with formulas, when the corpus is present."""
    picks = ["Test_Excel_Dataset.xlsb", "formula_checks.xlsb", "formula_stress_test.xlsb",
             "Test_Issue_11773_Exponential.xlsb"]
    found = []
    for name in picks:
        for path in sorted(CORPUS.rglob(name)) if CORPUS.is_dir() else []:
            if "_history" not in path.parts:
                found.append(path.read_bytes())
                break
    return found[:limit]


PAIRS = [
    ("=A1+B1", "=IFERROR(A1+B1,0)", "=RC[-2]+RC[-1]", "=IFERROR(RC[-2]+RC[-1],0)"),
    ("=SUM(A1:A10)", "=SUM(A1:A11)", "=SUM(R1C1:R10C1)", "=SUM(R1C1:R11C1)"),
    ("=A1", "=A1+B1", "=RC[-2]", "=RC[-2]+RC[-1]"),
    ("=LET(x,1,x)", "=1", "=1", "=1"),
]


def every_call(mdn, data: bytes) -> list:
    """One call of each function; decode errors are results too."""
    out = []
    for call in (lambda: mdn.formula_r1c1_report(data, "a1"), lambda: mdn.formula_r1c1_report(data, "r1c1"),
                 lambda: mdn.raw_values_report(data), lambda: mdn.formula_surface_report(data)):
        try:
            out.append(call())
        except RuntimeError as exc:
            out.append(("error", str(exc)))
    out.append(mdn.formula_delta_batch(PAIRS))
    return out


def canonical(results: list) -> list:
    """Cell and error orders of the formula text report are not defined."""
    def sheet(s):
        if isinstance(s, tuple) and len(s) == 6 and isinstance(s[4], int):
            name, rows, cols, texts, unresolved, errors = s
            return name, sorted(zip(rows, cols, texts)), unresolved, sorted(errors)
        return s
    return [[sheet(s) for s in r] if isinstance(r, list) else r for r in results]


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


HOSTILE = [
    b"",
    b"PK\x05\x06" + bytes(18),
    build_xlsb([("S", [row(0), fmla_num(0, 0.0, bytes([0x15] * 50 + [0x1E, 1, 0]))])]),
]


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator keeps freed memory in quarantine")
def test_repeated_calls_keep_memory_flat(mdn):
    inputs = [formula_workbook(), *corpus_samples(2), *HOSTILE]
    for data in inputs:
        every_call(mdn, data)
    gc.collect()
    before = rss_bytes()
    for _ in range(10_000 // len(inputs)):
        for data in inputs:
            every_call(mdn, data)
    gc.collect()
    grown = rss_bytes() - before
    assert grown < 8 * 1024 * 1024, f"resident memory grew by {grown} bytes"


def test_calls_leave_argument_reference_counts_unchanged(mdn):
    data = formula_workbook()
    mode = "".join(["a", "1"])
    pairs = [tuple("".join(list(t)) for t in p) for p in PAIRS]
    watched = [data, mode, pairs, *pairs, *(t for p in pairs for t in p)]
    before = [sys.getrefcount(x) for x in watched]
    for _ in range(200):
        mdn.formula_r1c1_report(data, mode)
        mdn.formula_r1c1_report(data=data, mode=mode)
        mdn.raw_values_report(data)
        mdn.formula_surface_report(data)
        mdn.formula_delta_batch(pairs)
        with pytest.raises(ValueError):
            mdn.formula_delta_batch([*pairs, ("=A1",)])
        with pytest.raises(RuntimeError):
            mdn.formula_r1c1_report(data, "A1")
    assert [sys.getrefcount(x) for x in watched] == before


def test_eight_threads_match_single_threaded_results(mdn):
    inputs = [formula_workbook(), *corpus_samples(), *HOSTILE]
    expected = [canonical(every_call(mdn, data)) for data in inputs]
    failures = []
    start = threading.Barrier(8)

    def worker(offset):
        start.wait()
        for k in range(len(inputs) * 3):
            i = (k + offset) % len(inputs)
            if canonical(every_call(mdn, inputs[i])) != expected[i]:
                failures.append(i)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def run_child(script: str, *, timeout: float = 120) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(TESTS), os.environ.get("PYTHONPATH", "")]))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          timeout=timeout, env=env)


def test_tables_are_built_once_under_a_first_use_race():
    # A fresh interpreter, so the function table is still empty when sixteen
    # threads ask for it at the same moment.
    result = run_child("""
        import threading
        import morvane_diff_native as mdn
        from test_reliability import formula_workbook, PAIRS
        data = formula_workbook()
        start = threading.Barrier(16)
        results = []
        def worker():
            start.wait()
            results.append((mdn.formula_surface_report(data), mdn.formula_delta_batch(PAIRS)))
        threads = [threading.Thread(target=worker) for _ in range(16)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert len(results) == 16 and all(r == results[0] for r in results), results
        sheets, names = results[0][0]
        assert names == [("Total", "SUM(1,2)")], names
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


@pytest.mark.skipif(SANITIZED, reason="the sanitizer reserves address space that an rlimit would refuse")
def test_memory_exhaustion_raises_instead_of_aborting():
    # Under a tight address-space limit, a report whose result cannot be
    # built must raise MemoryError (or fail to read the part) and leave the
    # interpreter usable.
    result = run_child("""
        import resource
        import morvane_diff_native as mdn
        from xlsb_builder import build_xlsb, cell_real, row
        cells = [row(0)] + [cell_real(3, 2.5)] * 1_500_000
        data = build_xlsb([("Big", cells)])
        with open("/proc/self/statm") as f:
            vm = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (vm + 96 * 1024 * 1024, resource.RLIM_INFINITY))
        outcomes = set()
        for _ in range(3):
            try:
                mdn.raw_values_report(data)
                outcomes.add("ok")
            except MemoryError:
                outcomes.add("MemoryError")
            except RuntimeError as exc:
                outcomes.add(str(exc))
        assert "ok" not in outcomes, outcomes
        print(sorted(outcomes))
        print(mdn.formula_delta_batch([("=A1", "=A2", "=R1C1", "=R2C1")])[0][0])
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.split("\n")
    assert set(eval(lines[0])) <= {"MemoryError", "zip entry read failed"}
    assert lines[1] == "True"
