"""Writes examples/sample.xlsb: a small two-sheet sales workbook.

"Sales" holds a table of regions with units, prices and booleans, and a
revenue column of formulas with their cached results; "Summary" totals the
revenue through a 3-D reference, divides by zero once (an error result) and
joins texts (a text result). Texts of the table come from the shared-string
part; one note is an inline string, which the values report leaves out.

Run it from anywhere: python examples/make_sample.py
"""

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

from ptg_builder import PTG_CONCAT, PTG_DIV, ptg_area3d, ptg_funcvar  # noqa: E402
from xlsb_builder import (  # noqa: E402
    ERR_DIV0, PTG_MUL, build_xlsb, cell_bool, cell_isst, cell_real, cell_rk, cell_st, col_word,
    extern_sheet, fmla_error, fmla_num, fmla_string, ptg_int, ptg_ref, ptg_str, rk_int, row, sheet_part,
    sup_self,
)

SUM = 4  # function table index

STRINGS = ["Region", "Units", "Unit price", "Revenue", "Active", "North", "South", "East", "West",
           "Total revenue", "Revenue per empty region", "Label"]
S = {text: i for i, text in enumerate(STRINGS)}

# Region, units, unit price, active.
TABLE = [("North", 120, 9.5, True), ("South", 85, 11.25, True), ("East", 240, 8.75, False),
         ("West", 60, 12.0, True)]


def rel(row_: int, col: int) -> bytes:
    """A relative reference, as a formula typed into a cell stores it."""
    return ptg_ref(row_, col_word(col))


def sales_sheet() -> list[bytes]:
    records = [row(0)] + [cell_isst(c, S[h]) for c, h in enumerate(STRINGS[:5])]
    for r, (region, units, price, active) in enumerate(TABLE, start=1):
        revenue = units * price
        records += [
            row(r),
            cell_isst(0, S[region]),
            cell_rk(1, rk_int(units)),                          # small integers are stored as RK
            cell_real(2, price),
            fmla_num(3, revenue, rel(r, 1) + rel(r, 2) + PTG_MUL),  # =B*C
            cell_bool(4, active),
        ]
    records += [row(6), cell_st(0, "Prices exclude tax")]     # inline string
    return records


def summary_sheet() -> list[bytes]:
    total = sum(units * price for _, units, price, _ in TABLE)
    revenue_column = ptg_area3d(0, (1, 4), (col_word(3, row_rel=False, col_rel=False),) * 2)
    return [
        row(0), cell_isst(0, S["Total revenue"]),
        fmla_num(1, total, revenue_column + ptg_funcvar(1, SUM)),       # =SUM(Sales!$D$2:$D$5)
        row(1), cell_isst(0, S["Revenue per empty region"]),
        fmla_error(1, ERR_DIV0, rel(0, 1) + ptg_int(0) + PTG_DIV),           # =B1/0
        row(2), cell_isst(0, S["Label"]),
        fmla_string(1, f"Total: {total:g}", ptg_str("Total: ") + rel(0, 1) + PTG_CONCAT),
    ]


def main() -> None:
    data = build_xlsb(
        [("Sales", sheet_part(sales_sheet(), dimension=((0, 6), (0, 4)))),
         ("Summary", sheet_part(summary_sheet(), dimension=((0, 2), (0, 1))))],
        shared_strings=STRINGS,
        externals=[sup_self(), extern_sheet([(0, 0, 0)])],
    )
    out = HERE / "sample.xlsb"
    out.write_bytes(data)
    print(f"wrote {out.relative_to(HERE.parent)} ({len(data)} bytes)")


if __name__ == "__main__":
    main()
