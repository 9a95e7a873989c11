"""The two formula reports against other readers of the same file.

Builds a workbook of 500,000 formula cells (50,000 rows of 10 formula
columns: nine columns of shared formulas in blocks of 100 rows, whose cells
all point at their block's formula, and one column of ordinary formulas, one
per row; every part deflated) with the tests' workbook writer, then renders
every formula with each contender and prints median time and peak memory,
with ratios against formula_r1c1_report in R1C1 notation. The zlib row only
inflates the parts: the floor that any reader of the file pays.

    python bench/bench_formulas.py [--reps N]
"""

from __future__ import annotations

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

import run  # noqa: E402
from ptg_builder import (  # noqa: E402
    FN_SUM, PTG_CONCAT, PTG_DIV, PTG_GT, ptg_arean, ptg_bool, ptg_func, ptg_funcvar, ptg_refn,
)
from xlsb_builder import (  # noqa: E402
    PTG_ADD, PTG_MUL, build_xlsb, cell_real, col_word, fmla_num, ptg_area, ptg_exp, ptg_int,
    ptg_num, ptg_ref, ptg_str, row, sheet_part, shr_fmla,
)

ROWS = 50_000
BLOCK = 100                   # rows per shared formula
VALUE_COLS = 2                # A and B hold numbers the formulas use
FN_IF, FN_ROUND, FN_AVERAGE, FN_VLOOKUP = 1, 27, 5, 102
PTG_EXP = 0x01
DEFAULT_REPS = 5

# The shared formulas of columns C to K, as the cells of row 2 read them:
# PtgRefN/PtgAreaN offsets from the cell that uses them.
ABS_A, ABS_B = (col_word(c, row_rel=False, col_rel=False) for c in (0, 1))
SHARED = [
    ptg_refn(0, -2) + ptg_refn(0, -1) + PTG_ADD,                                      # C: A2+B2
    ptg_arean((0, -3), (0, -2)) + ptg_funcvar(1, FN_SUM) + ptg_int(2) + PTG_MUL,      # D: SUM(A2:B2)*2
    ptg_refn(0, -2) + ptg_int(0) + PTG_GT + ptg_str("pos") + ptg_str("neg")
    + ptg_funcvar(3, FN_IF),                                                          # E: IF(C2>0,"pos","neg")
    ptg_refn(0, -2) + ptg_int(3) + PTG_DIV + ptg_int(2) + ptg_func(FN_ROUND),         # F: ROUND(D2/3,2)
    ptg_ref(0, ABS_A) + ptg_refn(0, -4) + PTG_MUL,                                    # G: $A$1*C2
    ptg_refn(0, -7) + ptg_area((0, 999), (ABS_A, ABS_B)) + ptg_int(2) + ptg_bool(False)
    + ptg_funcvar(4, FN_VLOOKUP),                                          # H: VLOOKUP(A2,$A$1:$B$1000,2,FALSE)
    ptg_str("n") + ptg_refn(0, -6) + PTG_CONCAT,                                      # I: "n"&C2
    ptg_arean((-5, -9), (0, -9)) + ptg_funcvar(1, FN_AVERAGE),                        # J: AVERAGE(A10:A15) in row 15
    ptg_refn(-1, 0) + ptg_refn(0, -1) + PTG_ADD,                                      # K: K1+J2
]
SHARED_COLS = range(VALUE_COLS, VALUE_COLS + len(SHARED))
ORDINARY_COL = VALUE_COLS + len(SHARED)
FORMULA_CELLS = ROWS * (len(SHARED) + 1)


def ordinary_formula(r: int) -> bytes:
    """A formula of its own per row: n + r/2."""
    return ptg_int(r % 65536) + ptg_num(r / 2) + PTG_ADD


def build_workbook() -> bytes:
    records = []
    for r in range(ROWS):
        records.append(row(r))
        records += [cell_real(0, float(r)), cell_real(1, r / 4)]
        anchor = r - r % BLOCK
        for col, rgce in zip(SHARED_COLS, SHARED):
            # The first cell of a block is followed by the block's shared formula.
            records.append(fmla_num(col, 0.0, ptg_exp(anchor)))
            if r == anchor:
                records.append(shr_fmla((anchor, anchor + BLOCK - 1), (col, col), rgce))
        records.append(fmla_num(ORDINARY_COL, 0.0, ordinary_formula(r)))
    dimension = ((0, ROWS - 1), (0, ORDINARY_COL))
    return build_xlsb([("Data", sheet_part(records, dimension=dimension))])


# ---------------------------------------------------------------------------
# Contenders. Each returns the number of formula texts it produced.


def load_text_report(mode: str):
    def load():
        import morvane_diff_native as mdn

        def read(path: str) -> int:
            report = mdn.formula_r1c1_report(Path(path).read_bytes(), mode)
            return sum(len(texts) for _, _, _, texts, _, _ in report)
        return read
    return load


def load_surface_report():
    import morvane_diff_native as mdn

    def read(path: str) -> int:
        sheets, _ = mdn.formula_surface_report(Path(path).read_bytes())
        return sum(len(a1) for _, _, _, a1, _, _ in sheets)
    return read


def calamine_reads_formulas() -> bool:
    import python_calamine

    return hasattr(python_calamine.CalamineSheet, "iter_formulas")


def load_calamine():
    import python_calamine

    def read_formulas(path: str) -> int:
        wb = python_calamine.CalamineWorkbook.from_path(path, read_formulas=True)
        return sum(f != "" for name in wb.sheet_names
                   for r in wb.get_sheet_by_name(name).iter_formulas() for f in r)

    def read_values(path: str) -> int:
        wb = python_calamine.CalamineWorkbook.from_path(path)
        count = 0
        for name in wb.sheet_names:
            rows = wb.get_sheet_by_name(name).to_python()
            count += sum(v != "" for r in rows for v in r[VALUE_COLS:])
        return count
    return read_formulas if calamine_reads_formulas() else read_values


def load_pyxlsb2():
    import pyxlsb2
    from pyxlsb2.formula import Formula

    def read(path: str) -> int:
        count = 0
        with pyxlsb2.open_workbook(path) as wb:
            for index in range(len(wb.sheets)):
                with wb.get_sheet_by_index(index) as sheet:
                    for r in sheet.rows():
                        for c in r:
                            if c.formula:
                                try:
                                    Formula.parse(c.formula).stringify(wb)
                                except Exception:  # a token it cannot print
                                    continue
                                # A follower prints as a placeholder for its PtgExp: no formula text.
                                count += c.formula[0] != PTG_EXP
        return count
    return read


CONTENDERS = [
    run.Contender("formula_r1c1_report r1c1", load_text_report("r1c1")),
    run.Contender("formula_r1c1_report a1", load_text_report("a1")),
    run.Contender("formula_surface_report", load_surface_report),
    run.Contender("python-calamine", load_calamine),
    run.Contender("pyxlsb2 parse+stringify", load_pyxlsb2),
    run.ZLIB_ONLY,
]


def write_workbook(path: str) -> None:
    Path(path).write_bytes(build_workbook())


def main(argv: list[str]) -> None:
    reps = run.reps_from(argv, DEFAULT_REPS)
    rows = run.measure_workbook(
        __file__, CONTENDERS, "formulas.xlsb", reps,
        lambda size, inflated: f"workbook: {FORMULA_CELLS:,} formula cells ({ROWS * len(SHARED):,} followers of "
                               f"{ROWS // BLOCK * len(SHARED):,} shared formulas), {size / 2**20:.1f} MiB file, "
                               f"{inflated / 2**20:.1f} MiB inflated; median of {reps} runs")
    run.print_table("formulas: render every formula cell of one workbook", rows)
    print("\nformula_surface_report renders every cell in A1 and each stored formula once in R1C1.")
    if calamine_reads_formulas():
        print("python-calamine leaves the followers of shared formulas empty: it renders only the "
              f"{ROWS:,} ordinary formulas and counts no follower.")
    else:
        print("python-calamine: the installed version has no formula API; its row reads the cached "
              "values of the formula cells instead, which is far less work than rendering them.")
    print("pyxlsb2 parses and prints each cell's own tokens: a follower's PtgExp prints as a "
          "placeholder, not as its shared formula, so only the ordinary formulas count as texts.")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--build"]:
        write_workbook(sys.argv[2])
    elif not run.child_main(CONTENDERS, sys.argv):
        main(sys.argv)
