"""raw_values_report against other readers of the same file.

Builds a workbook of 1,000,000 non-blank cells (50,000 rows of 20 columns:
RK and real numbers, shared strings, booleans and error codes, all parts
deflated) with the tests' workbook writer, then reads every cell of it with
each contender and prints median time and peak memory, with ratios against
raw_values_report. The zlib row only inflates the parts: the floor that any
reader of the file pays before decoding a record.

    python bench/bench_values.py [--reps N]
"""

from __future__ import annotations

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

import run  # noqa: E402
from xlsb_builder import (  # noqa: E402
    ERR_DIV0, ERR_NA, build_xlsb, cell_bool, cell_error, cell_isst, cell_real, cell_rk, rk_float,
    rk_int, row, sheet_part,
)

ROWS, COLS = 50_000, 20
UNIQUE_STRINGS = 5_000
DEFAULT_REPS = 5


def build_workbook() -> bytes:
    """Columns 0-5 RK integers, 6-7 RK floats, 8-11 reals, 12-16 shared
    strings, 17-18 booleans, 19 error codes."""
    strings = [f"item {i:05d} of the catalogue" for i in range(UNIQUE_STRINGS)]
    records = []
    for r in range(ROWS):
        records.append(row(r))
        records += [cell_rk(c, rk_int(r * COLS + c)) for c in range(6)]
        records += [cell_rk(c, rk_float(0.5 + c)) for c in range(6, 8)]
        records += [cell_real(c, r / 7 + c) for c in range(8, 12)]
        records += [cell_isst(c, (r * 5 + c) % UNIQUE_STRINGS) for c in range(12, 17)]
        records += [cell_bool(17, r % 2), cell_bool(18, r % 3 == 0), cell_error(19, (ERR_NA, ERR_DIV0)[r % 2])]
    return build_xlsb([("Data", sheet_part(records, dimension=((0, ROWS - 1), (0, COLS - 1))))],
                      shared_strings=strings)


# ---------------------------------------------------------------------------
# Contenders. Each returns the number of cell values it produced.


def load_ours():
    import morvane_diff_native as mdn

    def read(path: str) -> int:
        report = mdn.raw_values_report(Path(path).read_bytes())
        return sum(len(cells) for _, cells in report)
    return read


def load_pyxlsb():
    import pyxlsb

    def read(path: str) -> int:
        count = 0
        with pyxlsb.open_workbook(path) as wb:
            for name in wb.sheets:
                with wb.get_sheet(name) as sheet:
                    rows = list(sheet.rows())
                count += sum(c.v is not None for r in rows for c in r)
        return count
    return read


def load_calamine():
    import python_calamine

    def read(path: str) -> int:
        wb = python_calamine.CalamineWorkbook.from_path(path)
        count = 0
        for name in wb.sheet_names:
            rows = wb.get_sheet_by_name(name).to_python()
            count += sum(v != "" for r in rows for v in r)
        return count
    return read


CONTENDERS = [
    run.Contender("raw_values_report", load_ours),
    run.Contender("pyxlsb (every cell)", load_pyxlsb),
    run.Contender("python-calamine (every cell)", load_calamine),
    run.ZLIB_ONLY,
]


def write_workbook(path: str) -> None:
    Path(path).write_bytes(build_workbook())


def main(argv: list[str]) -> None:
    reps = run.reps_from(argv, DEFAULT_REPS)
    rows = run.measure_workbook(
        __file__, CONTENDERS, "values.xlsb", reps,
        lambda size, inflated: f"workbook: {ROWS * COLS:,} cells, {size / 2**20:.1f} MiB file, "
                               f"{inflated / 2**20:.1f} MiB inflated; median of {reps} runs")
    run.print_table("raw values: read every cell of one workbook", rows)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--build"]:
        write_workbook(sys.argv[2])
    elif not run.child_main(CONTENDERS, sys.argv):
        main(sys.argv)
