"""Writes the seed inputs of the fuzz targets (see README.md).

    python fuzz/make_seeds.py [--corpus DIR] [--out DIR]

Three seed sets, each a directory of files named by their SHA-1:

- corpus-seeds-workbook: whole workbooks for the three report targets. The
  test-side writer's fixtures, and every workbook of the shared corpus
  (../shared/corpus from the project root, skipped when absent): each as it
  is, and slimmed to the parts the reports read, stored uncompressed so
  that mutations reach the records rather than a compressed stream.
- corpus-seeds-render: stored formulas for the renderer target, in its
  input layout: every formula cell, group formula and defined name found by
  walking the record streams of those workbooks.
- corpus-seeds-classify: formula text pairs for the classifier target, from
  the formula texts of the corpus's XML twins and a hand-written list.
"""

from __future__ import annotations

import argparse
import hashlib
import io
import re
import struct
import sys
import zipfile
from pathlib import Path
from xml.etree import ElementTree

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))

import xlsb_builder as xb  # noqa: E402

# Larger seeds slow every mutation of them down; the big corpus workbooks
# still contribute their formulas to the renderer seeds.
MAX_WORKBOOK_SEED = 256 * 1024
# The parts the reports read, besides the worksheets the relationships name.
REPORT_PARTS = ("xl/workbook.bin", "xl/_rels/workbook.bin.rels", "xl/sharedStrings.bin")
WORKSHEET_PREFIX = "xl/worksheets/"

# Record ids as the readers compare them (two stored bytes, little-endian).
ROW_HDR = 0
FORMULA_CELLS = {8, 9, 10, 11}
FMLA_STRING, FMLA_NUM = 8, 9
NAME = 39
ARR_FMLA = 0x80 | (426 & 0x7F) | (426 >> 7) << 8
SHR_FMLA = 0x80 | (427 & 0x7F) | (427 >> 7) << 8


# ---------------------------------------------------------------------------
# Reading record streams.


def records(part: bytes):
    """(id, payload) for every record up to the end or the first framing fault."""
    p, n = 0, len(part)
    while p < n:
        rid = part[p]
        p += 1
        if rid & 0x80:
            if p >= n or part[p] & 0x80:
                return
            rid |= part[p] << 8
            p += 1
        length = 0
        for i in range(4):
            if p >= n:
                return
            c = part[p]
            p += 1
            length |= (c & 0x7F) << (7 * i)
            if c < 0x80:
                break
        else:
            return
        if length > n - p:
            return
        yield rid, part[p:p + length]
        p += length


def parsed_formula(payload: bytes, at: int) -> tuple[bytes, bytes] | None:
    """cce, rgce, cb, rgcb at `at`; None when they do not fit."""
    if at + 4 > len(payload):
        return None
    (cce,) = struct.unpack_from("<I", payload, at)
    rgce_end = at + 4 + cce
    if rgce_end + 4 > len(payload):
        return None
    (cb,) = struct.unpack_from("<I", payload, rgce_end)
    if rgce_end + 4 + cb > len(payload):
        return None
    return payload[at + 4:rgce_end], payload[rgce_end + 4:rgce_end + 4 + cb]


def formula_cell_offset(rid: int, payload: bytes) -> int | None:
    if rid == FMLA_STRING:
        if len(payload) < 12:
            return None
        return 14 + 2 * struct.unpack_from("<I", payload, 8)[0]
    return 18 if rid == FMLA_NUM else 11


def sheet_formulas(part: bytes):
    """(row, col, rgce, rgcb) of every formula cell and group formula."""
    row = 0
    for rid, payload in records(part):
        if rid == ROW_HDR and len(payload) >= 4:
            (row,) = struct.unpack_from("<I", payload, 0)
        elif rid in FORMULA_CELLS and len(payload) >= 4:
            at = formula_cell_offset(rid, payload)
            formula = parsed_formula(payload, at) if at is not None else None
            if formula:
                yield row, struct.unpack_from("<I", payload, 0)[0] & 0x3FFF, *formula
        elif rid in (ARR_FMLA, SHR_FMLA) and len(payload) >= 16:
            first_row, _, first_col, _ = struct.unpack_from("<4I", payload, 0)
            formula = parsed_formula(payload, 17 if rid == ARR_FMLA else 16)
            if formula:
                yield first_row, first_col & 0x3FFF, *formula


def name_formulas(part: bytes):
    """(0, 0, rgce, rgcb) of every defined name: names render at A1."""
    for rid, payload in records(part):
        if rid != NAME or len(payload) < 13:
            continue
        (count,) = struct.unpack_from("<I", payload, 9)
        at = 13 if count == 0xFFFFFFFF else 13 + 2 * count
        formula = parsed_formula(payload, at)
        if formula:
            yield 0, 0, *formula


def render_seed(row: int, col: int, rgce: bytes, rgcb: bytes, r1c1: bool) -> bytes:
    """The renderer target's input: notation, base cell, token count, tokens, extra bytes."""
    return struct.pack("<BIHH", int(r1c1), row & 0xFFFFFFFF, col, min(len(rgce), 0xFFFF)) + rgce + rgcb


# ---------------------------------------------------------------------------
# Workbooks.


def open_zip(data: bytes) -> zipfile.ZipFile | None:
    try:
        return zipfile.ZipFile(io.BytesIO(data))
    except (zipfile.BadZipFile, ValueError, OSError):
        return None


def read_member(archive: zipfile.ZipFile, name: str) -> bytes | None:
    # Damaged and encrypted members fail in many ways; a seed is simply skipped.
    try:
        return archive.read(name)
    except Exception:
        return None


def slim_parts(archive: zipfile.ZipFile) -> dict[str, bytes]:
    """The parts the reports read, uncompressed."""
    parts = {}
    for name in archive.namelist():
        if name in REPORT_PARTS or name.startswith(WORKSHEET_PREFIX) and name.endswith(".bin"):
            data = read_member(archive, name)
            if data is not None:
                parts[name] = data
    return parts


def builder_workbooks() -> list[bytes]:
    """Small workbooks written by the test-side writer: every cell kind,
    direct, shared, array and wide group formulas, a follower without its
    group, defined names and external books; stored, deflated, ZIP64 and with
    data descriptors."""
    ref = xb.ptg_ref(0, xb.col_word(0))
    area = xb.ptg_area((0, 9), (xb.col_word(1), xb.col_word(1)))
    ref3d = b"\x3a" + xb.u16(1) + xb.u32(2) + xb.u16(xb.col_word(3, row_rel=False, col_rel=False))
    sum_call = b"\x22\x01" + xb.u16(4)  # PtgFuncVar: one argument, SUM
    array = b"\x60" + bytes(14)  # PtgArray, its values in the extra bytes
    array_values = xb.u32(2) + xb.u32(1) + b"\x01" + xb.f64(1.5) + b"\x02" + xb.wide("x")
    values = [
        xb.row(0), xb.cell_rk(0, xb.rk_int(7)), xb.cell_real(1, 2.5), xb.cell_bool(2, 1),
        xb.cell_error(3, 0x2A), xb.cell_isst(4, 0), xb.cell_st(5, "inline"), xb.cell_blank(6),
        xb.row(1), xb.fmla_string(0, "ab", xb.ptg_str("a") + xb.ptg_str("b") + b"\x08"),
        xb.fmla_bool(1, 1, b"\x1d\x01"), xb.fmla_error(2, 7, b"\x1c\x07"),
    ]
    formulas = [
        xb.row(0), xb.fmla_num(0, 3, xb.ptg_int(1) + xb.ptg_int(2) + xb.PTG_ADD),
        xb.shr_fmla((1, 3), (1, 1), ref + xb.ptg_num(0.5) + xb.PTG_MUL),
        xb.arr_fmla((1, 1), (2, 3), array, array_values),
        xb.shr_fmla((5, 6), (0, 100), area + sum_call),
    ]
    for r in (1, 2, 3):
        formulas += [xb.row(r), xb.fmla_num(1, 0, xb.ptg_exp(1))]
    formulas += [xb.fmla_num(2, 0, xb.ptg_exp(1)), xb.row(5), xb.fmla_num(70, 0, xb.ptg_exp(5)),
                 xb.row(9), xb.fmla_num(0, 0, ref3d), xb.fmla_num(1, 0, xb.ptg_exp(8))]
    names = [xb.name_record("Total", area), xb.name_record("Local", ref3d, itab=0)]
    externals = [xb.sup_self(), xb.sup_book_src(), xb.sup_tabs(["Ext", "Ext Two"]), xb.sup_same(),
                 xb.sup_other(), xb.extern_sheet([(0, 0, 0), (1, 0, 1), (0, -2, -2), (3, 0, 0)])]
    sheets = [("Values", values), ("My Formulas", formulas), ("Missing", None)]
    parts = xb.workbook_parts(sheets, shared_strings=["apple", "pear"], names=names, externals=externals)
    return [
        xb.zip_parts(parts, xb.STORED),
        xb.zip_parts(parts, xb.DEFLATED),
        # The archive variants the container reader must also follow.
        xb.zip_archive([xb.ZipEntry(n, d, xb.STORED, zip64=True) for n, d in parts.items()],
                       zip64=xb.Zip64Records()),
        xb.zip_archive([xb.ZipEntry(n, d, descriptor=True) for n, d in parts.items()]),
        xb.build_xlsb([("Empty", [])]),
    ]


def corpus_workbooks(corpus: Path) -> list[bytes]:
    if not corpus.is_dir():
        print(f"no corpus at {corpus}; using the writer's fixtures only", file=sys.stderr)
        return []
    return [path.read_bytes() for path in sorted(corpus.rglob("*.xlsb"))]


# ---------------------------------------------------------------------------
# Formula texts.

FORMULA_TAG = re.compile(r"\}f$|^f$")

HAND_WRITTEN_PAIRS = [
    ("=A1+B1", "=IFERROR(A1+B1,0)", "=RC[-2]+RC[-1]", "=IFERROR(RC[-2]+RC[-1],0)"),
    ("=SUM(A1:A10)", "=SUM(A1:A11)", "=SUM(R[-9]C:RC)", "=SUM(R[-10]C:RC)"),
    ("=A1", "=A1+B1", "=RC[-2]", "=RC[-2]+RC[-1]"),
    ("=ROUND(SUM(Sheet1!$A$1:$B$9),2)", "=SUM(Sheet1!$A$1:$B$9)", "=ROUND(SUM(Sheet1!R1C1:R9C2),2)",
     "=SUM(Sheet1!R1C1:R9C2)"),
    ("=VLOOKUP(A2,'My Data'!A:C,3,FALSE)", "=IFNA(VLOOKUP(A2,'My Data'!A:C,3,FALSE),\"\")",
     "=VLOOKUP(RC[-1],'My Data'!C1:C3,3,FALSE)", "=IFNA(VLOOKUP(RC[-1],'My Data'!C1:C3,3,FALSE),\"\")"),
    ("={1,2;3,4}", "=TRANSPOSE({1,2;3,4})", "={1,2;3,4}", "=TRANSPOSE({1,2;3,4})"),
    ("=Table1[[#This Row],[Amount]]*1.5E+3", "=(Table1[[#This Row],[Amount]]*1.5E+3)%",
     "=Table1[[#This Row],[Amount]]*1.5E+3", "=(Table1[[#This Row],[Amount]]*1.5E+3)%"),
    ("=LET(x,1,x)", "=LAMBDA(y,y+1)(2)", "=LET(x,1,x)", "=LAMBDA(y,y+1)(2)"),
    ("=SINGLE(A1:A3)+ANCHORARRAY(B1)", "=SINGLE(A1:A4)+ANCHORARRAY(B1)", "=SINGLE(R1C1:R3C1)",
     "=SINGLE(R1C1:R4C1)"),
    ("=A1 B1 (C1,D1)", "=[1]Sheet1!A1 <> #N/A", "=R1C1\nR2C2", "=-+R[-1]C >= #REF!"),
    ("=NaN+-inf", "=12E+3+.5e-2", "=TRUE&\"a\"\"b\"", "='It''s'!R1C1:R2C2%"),
]


def twin_formula_texts(corpus: Path) -> list[str]:
    """The stored formula texts of the corpus's XML workbooks, "=" in front."""
    texts = []
    if not corpus.is_dir():
        return texts
    for path in sorted([*corpus.rglob("*.xlsx"), *corpus.rglob("*.xlsm")]):
        archive = open_zip(path.read_bytes())
        if archive is None:
            continue
        for name in archive.namelist():
            if not (name.startswith("xl/worksheets/") and name.endswith(".xml")):
                continue
            data = read_member(archive, name)
            try:
                root = ElementTree.fromstring(data) if data else None
            except ElementTree.ParseError:
                continue
            for element in root.iter() if root is not None else ():
                if FORMULA_TAG.search(element.tag) and element.text:
                    texts.append("=" + element.text)
    return list(dict.fromkeys(texts))


def classify_seeds(texts: list[str], limit: int = 3000) -> list[bytes]:
    """Each neighbouring pair of texts, once as written and once wrapped,
    with the A1 texts standing in for R1C1 texts; then the hand-written
    pairs, also as one batch."""
    seeds = []
    for old, new in zip(texts, texts[1:]):
        wrapped = f"=IFERROR({old[1:]},0)"
        seeds.append("\0".join((old, new, old, new)))
        seeds.append("\0".join((old, wrapped, old, wrapped)))
        if len(seeds) >= limit:
            break
    seeds += ["\0".join(pair) for pair in HAND_WRITTEN_PAIRS]
    seeds.append("\0".join(text for pair in HAND_WRITTEN_PAIRS for text in pair))
    return [s.encode("utf-8", "replace") for s in seeds]


# ---------------------------------------------------------------------------


def write_set(directory: Path, seeds) -> int:
    directory.mkdir(parents=True, exist_ok=True)
    names = set()
    for seed in seeds:
        name = hashlib.sha1(seed).hexdigest()
        if name not in names:
            names.add(name)
            (directory / name).write_bytes(seed)
    return len(names)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=ROOT.parent / "shared" / "corpus")
    parser.add_argument("--out", type=Path, default=ROOT / "fuzz")
    args = parser.parse_args()

    workbook_seeds, render_seeds = [], []
    seen_formulas = set()
    for data in builder_workbooks() + corpus_workbooks(args.corpus):
        if len(data) <= MAX_WORKBOOK_SEED:
            workbook_seeds.append(data)
        archive = open_zip(data)
        if archive is None:
            continue
        parts = slim_parts(archive)
        slim = xb.zip_parts(parts, xb.STORED)
        if len(slim) <= MAX_WORKBOOK_SEED:
            workbook_seeds.append(slim)
        formulas = list(name_formulas(parts.get("xl/workbook.bin", b"")))
        for name, part in parts.items():
            if name.startswith(WORKSHEET_PREFIX):
                formulas += sheet_formulas(part)
        for n, (row, col, rgce, rgcb) in enumerate(formulas):
            if (rgce, rgcb) not in seen_formulas:
                seen_formulas.add((rgce, rgcb))
                render_seeds.append(render_seed(row, col, rgce, rgcb, r1c1=n % 2 == 1))

    counts = {
        "corpus-seeds-workbook": write_set(args.out / "corpus-seeds-workbook", workbook_seeds),
        "corpus-seeds-render": write_set(args.out / "corpus-seeds-render", render_seeds),
        "corpus-seeds-classify": write_set(args.out / "corpus-seeds-classify",
                                           classify_seeds(twin_formula_texts(args.corpus))),
    }
    for name, count in counts.items():
        print(f"{name}: {count} seeds")


if __name__ == "__main__":
    main()
