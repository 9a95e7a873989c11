"""Hostile shapes: time and peak memory of the module on inputs built to make
a careless reader quadratic, greedy or unbounded.

Each row reads one input, built beforehand into a temporary folder, in a
child process of its own (see run.py). The shapes themselves are those of
the tests (tests/python/hostile_shapes.py); here they are full size. The aim
for every row is well under a second, and memory a small multiple of the
input plus the result.
"""

from __future__ import annotations

import pickle
import subprocess
import sys
import tempfile
from pathlib import Path

import run

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

import hostile_shapes as shapes  # noqa: E402

DEFAULT_REPS = 3
MILLION = 1_000_000

# name -> (builder of the input bytes, function of the module that reads it)
WORKBOOKS = {
    "zip entry declaring 4 GiB": (lambda: declared_huge_entry(), "raw_values_report"),
    "1M shared formulas, narrow, 1M followers": (lambda: shapes.shared_formula_flood(MILLION, wide=False), "a1"),
    "1M shared formulas, wide, 1M followers": (lambda: shapes.shared_formula_flood(MILLION, wide=True), "a1"),
    "1M nested parentheses": (lambda: shapes.nested_parens(MILLION), "r1c1"),
    "1M unary minus signs": (lambda: shapes.nested_minus(MILLION), "r1c1"),
    "30 KB string concatenated 40 times": (lambda: shapes.long_operands_combined(40), "r1c1"),
    "array: 4,294,967,295 rows, 0 columns": (shapes.array_rows_without_columns, "r1c1"),
    "8M-unit shared string in 1M cells": (lambda: shapes.shared_string_flood(MILLION), "raw_values_report"),
    "1M defined names": (lambda: shapes.defined_name_flood(MILLION), "formula_surface_report"),
    "1M supporting-book sheet names": (lambda: shapes.supporting_sheet_flood(MILLION), "raw_values_report"),
    "268 MB record length in a worksheet": (shapes.worksheet_with_giant_record, "a1"),
    "1 MB sheet name in 400 formulas": (lambda: shapes.long_sheet_name_referenced(400), "a1"),
    "overlapping zip entries": (shapes.overlapping_entries, "a1"),
}
PAIRS = "32 KiB near-miss formula pairs x 100"


def declared_huge_entry() -> bytes:
    from xlsb_builder import ZipEntry, workbook_parts, zip_archive

    parts = workbook_parts([("S", [])])
    entries = [ZipEntry(name, data) for name, data in parts.items()]
    entries[-1].uncompressed_size = 0xFFFFFFFE
    return zip_archive(entries)


def file_name(name: str) -> str:
    return "".join(c if c.isalnum() else "_" for c in name) + ".bin"


def load_workbook_shape(name: str):
    def load():
        import morvane_diff_native as mdn

        how = WORKBOOKS[name][1]
        call = {"a1": lambda d: mdn.formula_r1c1_report(d, "a1"),
                "r1c1": lambda d: mdn.formula_r1c1_report(d, "r1c1")}.get(how) or getattr(mdn, how)

        def read(folder: str) -> int:
            data = (Path(folder) / file_name(name)).read_bytes()
            try:
                call(data)
            except RuntimeError:
                pass
            return len(data)
        return read
    return load


def load_pairs():
    import morvane_diff_native as mdn

    def read(folder: str) -> int:
        pairs = pickle.loads((Path(folder) / file_name(PAIRS)).read_bytes())
        mdn.formula_delta_batch(pairs)
        return len(pairs)
    return read


CONTENDERS = [run.Contender(name, load_workbook_shape(name)) for name in WORKBOOKS]
CONTENDERS.append(run.Contender(PAIRS, load_pairs))


def write_inputs(folder: str) -> None:
    for name, (build, _) in WORKBOOKS.items():
        (Path(folder) / file_name(name)).write_bytes(build())
    (Path(folder) / file_name(PAIRS)).write_bytes(pickle.dumps(shapes.near_miss_pairs(100)))


def main(argv: list[str]) -> None:
    reps = int(argv[argv.index("--reps") + 1]) if "--reps" in argv else DEFAULT_REPS
    with tempfile.TemporaryDirectory() as tmp:
        # Written by a child so this process stays small (see run.measure).
        subprocess.run([sys.executable, __file__, "--build", tmp], check=True)
        print(f"hostile shapes: median of {reps} runs each, peak memory above an idle child")
        header = f"{'shape':<44} {'input MiB':>10} {'median s':>9} {'peak MiB':>9}"
        print(header)
        print("-" * len(header))
        for contender in CONTENDERS:
            m = run.measure(__file__, contender, tmp, reps)
            size = (Path(tmp) / file_name(contender.name)).stat().st_size / 2**20
            if m.median_s is None:
                print(f"{contender.name:<44} {size:>10.2f}  ({m.note})")
            else:
                print(f"{contender.name:<44} {size:>10.2f} {m.median_s:>9.3f} {m.peak_mib:>9.1f}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--build"]:
        write_inputs(sys.argv[2])
    elif not run.child_main(CONTENDERS, sys.argv):
        main(sys.argv)
