"""Workbooks and formula pairs shaped to make a careless reader slow, greedy
or unsafe. The tests check what each one gives; the benchmarks time them.

Each shape is built from repeated record bytes, so even the million-record
ones take well under a second to write.
"""

from __future__ import annotations

from xlsb_builder import (
    build_xlsb,
    bundle_sh,
    cell_isst,
    extern_sheet,
    fmla_num,
    name_record,
    ptg_exp,
    ptg_int,
    ptg_str,
    record,
    record_length_bytes,
    record_type_bytes,
    row,
    shr_fmla,
    sup_book_src,
    sup_self,
    sup_tabs,
    u32,
    workbook_part,
    zip_archive,
    ZipEntry,
    workbook_parts,
)

PTG_PAREN = b"\x15"
PTG_UMINUS = b"\x13"
PTG_CONCAT = b"\x08"
LENGTH_CAP_MESSAGE = "rendered formula text exceeds length cap"


def shared_formula_flood(n: int, *, wide: bool) -> bytes:
    """n shared formulas anchored on row 0 and n followers of that row.

    Only the last group reaches the followers' rows, so a first-match scan
    over the groups would visit all n of them for every follower.
    """
    cols = (0, 100) if wide else (0, 0)
    short_group = shr_fmla((0, 0), cols, ptg_int(1))
    records = [short_group * (n - 1), shr_fmla((0, n), cols, ptg_int(7))]
    follower = fmla_num(0, 0.0, ptg_exp(0))
    records += [row(r) + follower for r in range(1, n + 1)]
    return build_xlsb([("Flood", records)])


def single_formula(rgce: bytes, rgcb: bytes = b"") -> bytes:
    return build_xlsb([("F", [row(0), fmla_num(0, 0.0, rgce, rgcb)])])


def nested_parens(n: int) -> bytes:
    return single_formula(ptg_int(1) + PTG_PAREN * n)


def nested_minus(n: int) -> bytes:
    return single_formula(ptg_int(1) + PTG_UMINUS * n)


def long_operands_combined(copies: int, chars: int = 30_000) -> bytes:
    """One long string literal concatenated with itself `copies` times."""
    text = ptg_str("x" * chars)
    return single_formula(text + (text + PTG_CONCAT) * (copies - 1))


def array_rows_without_columns() -> bytes:
    """PtgArray whose extra data claims 4,294,967,295 rows of zero columns."""
    ptg_array = b"\x60" + bytes(14)
    return single_formula(ptg_array, u32(0xFFFFFFFF) + u32(0))


def shared_string_flood(n_cells: int, units: int = 8_388_608) -> bytes:
    """One shared string of `units` code units used by `n_cells` cells."""
    cells = [row(0), cell_isst(0, 0) * n_cells]
    return build_xlsb([("S", cells)], shared_strings=["a" * units])


def defined_name_flood(n: int) -> bytes:
    parts = workbook_parts([("S", [row(0)])])
    names = name_record("N", ptg_int(5)) * n
    parts["xl/workbook.bin"] = workbook_part([bundle_sh("S", "rId1")], [names])
    return _zip(parts)


def supporting_sheet_flood(n: int) -> bytes:
    parts = workbook_parts([("S", [row(0)])])
    externals = [sup_self(), sup_book_src(), sup_tabs(["Sheet"] * n)]
    parts["xl/workbook.bin"] = workbook_part([bundle_sh("S", "rId1")], [], externals)
    return _zip(parts)


def record_claiming(length: int) -> bytes:
    """A record header that claims `length` payload bytes, with none after it."""
    return record_type_bytes(0x09) + record_length_bytes(length)


def worksheet_with_giant_record() -> bytes:
    before = fmla_num(0, 0.0, ptg_int(3))
    return build_xlsb([("S", [row(0), before, record_claiming(0x0FFFFFFF)])])


def workbook_with_giant_record() -> bytes:
    parts = workbook_parts([("S", [row(0)])])
    parts["xl/workbook.bin"] += record_claiming(0x0FFFFFFF)
    return _zip(parts)


def shared_strings_claiming_huge_string() -> bytes:
    parts = workbook_parts([("S", [row(0)])], shared_strings=["a"])
    parts["xl/sharedStrings.bin"] = record(19, b"\x00" + u32(0x800000))
    return _zip(parts)


def overlapping_entries() -> bytes:
    """Two directory entries pointing at the same local header and data."""
    parts = workbook_parts([("One", [row(0), fmla_num(0, 0.0, ptg_int(1))]), ("Two", None, "worksheets/two.bin")])
    entries = [ZipEntry(name, data) for name, data in parts.items()]
    archive = zip_archive(entries)
    # Re-point a second central entry at sheet1's local header.
    return _alias_entry(archive, "xl/worksheets/sheet1.bin", "xl/worksheets/two.bin")


def _alias_entry(archive: bytes, source: str, alias: str) -> bytes:
    """Appends a central directory entry named `alias` that copies `source`'s."""
    eocd = archive.rindex(b"PK\x05\x06")
    count = int.from_bytes(archive[eocd + 10:eocd + 12], "little")
    cd_size = int.from_bytes(archive[eocd + 12:eocd + 16], "little")
    cd_offset = int.from_bytes(archive[eocd + 16:eocd + 20], "little")
    central = archive[cd_offset:cd_offset + cd_size]
    p = 0
    while p < len(central):
        name_len, extra_len, comment_len = (int.from_bytes(central[p + k:p + k + 2], "little") for k in (28, 30, 32))
        name = central[p + 46:p + 46 + name_len].decode()
        end = p + 46 + name_len + extra_len + comment_len
        if name == source:
            header = bytearray(central[p:p + 46])
            header[28:30] = len(alias).to_bytes(2, "little")
            header[30:34] = bytes(4)
            added = bytes(header) + alias.encode()
            break
        p = end
    central += added
    end_record = bytearray(archive[eocd:eocd + 22])
    end_record[8:10] = end_record[10:12] = (count + 1).to_bytes(2, "little")
    end_record[12:16] = len(central).to_bytes(4, "little")
    return archive[:cd_offset] + central + bytes(end_record)


def _zip(parts: dict[str, bytes]) -> bytes:
    return zip_archive([ZipEntry(name, data) for name, data in parts.items()])


def near_miss_pairs(count: int, size: int = 32_768) -> list[tuple[str, str, str, str]]:
    """Formula pairs of about `size` bytes whose old formula nearly matches
    the new one at every position (a naive search is quadratic)."""
    unit = "A1+"
    body = unit * ((size - 16) // len(unit))
    old = "=" + body + "B2"
    new = "=IFERROR(" + body + "C3,0)"
    return [(old, new, old, new)] * count



def long_sheet_name_referenced(cells: int, name_chars: int = 1_000_000) -> bytes:
    """A sheet with a `name_chars`-character name and `cells` formulas that
    each refer to it through a 3-D reference: a few bytes of tokens each, a
    megabyte of text each."""
    ref3d = b"\x3a" + (0).to_bytes(2, "little") + (0).to_bytes(4, "little") + (0xC000).to_bytes(2, "little")
    records = [row(0), *(fmla_num(c, 0.0, ref3d) for c in range(cells))]
    parts = workbook_parts([("a" * name_chars, records)])
    parts["xl/workbook.bin"] = workbook_part([bundle_sh("a" * name_chars, "rId1")], [],
                                             [sup_self(), extern_sheet([(0, 0, 0)])])
    return _zip(parts)
