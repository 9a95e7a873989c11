"""Reads examples/sample.xlsb with raw_values_report and prints each sheet.

Usage: python examples/demo.py [workbook.xlsb]
"""

import pathlib
import sys

import morvane_diff_native as mdn

SAMPLE = pathlib.Path(__file__).resolve().parent / "sample.xlsb"
MAX_ROWS, MAX_COLS, WIDTH = 20, 8, 14


def column_letters(col: int) -> str:
    letters = ""
    col += 1
    while col:
        col, rem = divmod(col - 1, 26)
        letters = chr(ord("A") + rem) + letters
    return letters


def show(num, boolean, text) -> str:
    if num is not None:
        return f"{num:g}"
    if boolean is not None:
        return "TRUE" if boolean else "FALSE"
    return text if not text.startswith("0x") else f"<error {text}>"


def print_grid(cells) -> None:
    grid = {(r, c): show(n, b, t) for r, c, n, b, t in cells}
    rows = sorted({r for r, _ in grid})[:MAX_ROWS]
    cols = sorted({c for _, c in grid})[:MAX_COLS]
    fit = lambda s: s if len(s) <= WIDTH else s[:WIDTH - 1] + "~"  # noqa: E731
    print("       " + "".join(f"{column_letters(c):<{WIDTH + 1}}" for c in cols))
    for r in rows:
        print(f"  {r + 1:>4} " + "".join(f"{fit(grid.get((r, c), '')):<{WIDTH + 1}}" for c in cols))


def main() -> None:
    path = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else SAMPLE
    report = mdn.raw_values_report(path.read_bytes())
    print(f"{path.name}: {len(report)} worksheet(s), module {mdn.__version__}")
    for name, cells in report:
        kinds = {"numbers": sum(c[2] is not None for c in cells),
                 "booleans": sum(c[3] is not None for c in cells),
                 "texts": sum(c[4] is not None and not c[4].startswith("0x") for c in cells),
                 "errors": sum(c[4] is not None and c[4].startswith("0x") for c in cells)}
        summary = ", ".join(f"{n} {k}" for k, n in kinds.items() if n)
        print(f"\n{name}: {len(cells)} cells ({summary})")
        print_grid(cells)


if __name__ == "__main__":
    main()
