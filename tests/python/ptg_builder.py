"""Formula token streams for the report tests, one token per call.

Each call returns the bytes of one token (ptg) as it lies in a stored formula,
so a token stream reads like the formula in reverse Polish order::

    ptg_refn(0, -1) + ptg_int(1) + PTG_ADD          # RC[-1]+1 in a shared formula

Array constants keep their values outside the token stream, in the extra
bytes: `ptg_array()` is the token, `array_extra(rows)` the values it reads.
The few tokens the workbook writer already has (ptg_int, ptg_num, ptg_str,
ptg_ref, ptg_area, ptg_exp, PTG_ADD, PTG_MUL, col_word) stay there.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass

from xlsb_builder import col_word, u8, u16, u32, utf16_units

# ---------------------------------------------------------------------------
# Operators and constants.

PTG_DIV = b"\x06"
PTG_CONCAT = b"\x08"
PTG_EQ = b"\x0b"
PTG_GT = b"\x0d"


def ptg_bool(value: bool) -> bytes:
    return b"\x1d" + u8(int(value))


# ---------------------------------------------------------------------------
# References.


def rel_location(row_offset: int, col_offset: int, *, row_rel: bool = True, col_rel: bool = True) -> bytes:
    """The row field and column word of a PtgRefN/PtgAreaN corner.

    A relative field holds a two's-complement offset from the cell the shared
    formula is used in (the column offset in the low 14 bits); an absolute one
    holds the position itself.
    """
    row_field = row_offset & 0xFFFFFFFF if row_rel else row_offset
    col = col_offset & 0x3FFF
    return u32(row_field) + u16(col_word(col, row_rel=row_rel, col_rel=col_rel))


def ptg_refn(row_offset: int, col_offset: int, **rel) -> bytes:
    """PtgRefN (reference class): a cell relative to the cell using the formula."""
    return b"\x2c" + rel_location(row_offset, col_offset, **rel)


def ptg_arean(first: tuple[int, int], last: tuple[int, int]) -> bytes:
    """PtgAreaN: two (row offset, column offset) corners, all four parts relative."""
    a, b = rel_location(*first), rel_location(*last)
    return b"\x2d" + a[:4] + b[:4] + a[4:] + b[4:]


def ptg_ref3d(xti: int, row: int, colword: int) -> bytes:
    """PtgRef3d: an index into the Xti table, then a cell."""
    return b"\x3a" + u16(xti) + u32(row) + u16(colword)


def ptg_area3d(xti: int, rows: tuple[int, int], colwords: tuple[int, int]) -> bytes:
    return b"\x3b" + u16(xti) + u32(rows[0]) + u32(rows[1]) + u16(colwords[0]) + u16(colwords[1])


def ptg_ref_err3d(xti: int) -> bytes:
    """PtgRefErr3d: a sheet prefix and #REF!; the cell bytes are unused."""
    return b"\x3c" + u16(xti) + b"\x00" * 6


# ---------------------------------------------------------------------------
# Functions and names.

FN_SUM = 4
FN_MMULT = 165
FN_LENB = 211
FN_CONVERT = 468
FN_USER = 255  # the call's name is its first operand


def ptg_func(number: int) -> bytes:
    """PtgFunc: a function with a fixed operand count taken from the table."""
    return b"\x41" + u16(number)


def ptg_funcvar(argc: int, number: int) -> bytes:
    """PtgFuncVar: a call with its operand count stored in the token."""
    return b"\x42" + u8(argc) + u16(number)


def ptg_name(index: int) -> bytes:
    """PtgName: a 1-based index into the workbook's defined names."""
    return b"\x43" + u32(index)


def ptg_namex(xti: int, index: int) -> bytes:
    """PtgNameX: a name through an Xti entry's supporting book."""
    return b"\x59" + u16(xti) + u32(index)


# ---------------------------------------------------------------------------
# Control tokens.


def attr_space(kind: int, count: int) -> bytes:
    """PtgAttrSpace: `count` spaces (kinds 0, 2, 6, 4) or line breaks (1, 3, 5)."""
    return b"\x19\x40" + u8(kind) + u8(count)


def spaces_then(text_token: bytes, count: int) -> bytes:
    """`count` pending spaces in front of one operand token (as few tokens as possible)."""
    full, rest = divmod(count, 255)
    return attr_space(0, 255) * full + (attr_space(0, rest) if rest else b"") + text_token


def ptg_mem_area(subexpression: bytes) -> bytes:
    """PtgMemArea: a precomputed area; its subexpression follows it in the stream.

    Its rectangles lie in the extra bytes (see `mem_area_extra`).
    """
    return b"\x66" + u32(0) + u16(len(subexpression)) + subexpression


def ptg_list(xti: int = 0, flags: int = 0) -> bytes:
    """PtgList: a structured table reference (list 1, all columns).

    Through an Xti entry naming another workbook, and without flag 0x1000,
    the table's description lies in the extra bytes.
    """
    return b"\x18\x19" + u16(xti) + u16(flags) + u32(1) + u16(0) + u16(0)


# ---------------------------------------------------------------------------
# Array constants.


def ptg_array() -> bytes:
    """PtgArray (array class): 14 unused bytes; the values are in the extra bytes."""
    return b"\x60" + b"\x00" * 14


@dataclass(frozen=True)
class Err:
    """An error element of an array constant (BErr code)."""
    code: int


def ser_ar(value) -> bytes:
    """One element: 0x00 number, 0x01 string, 0x02 boolean, 0x04 error."""
    if isinstance(value, bool):
        return b"\x02" + u8(int(value))
    if isinstance(value, (int, float)):
        return b"\x00" + struct.pack("<d", float(value))
    if isinstance(value, str):
        units = utf16_units(value)
        return b"\x01" + u16(len(units)) + struct.pack(f"<{len(units)}H", *units)
    if isinstance(value, Err):
        return b"\x04" + u8(value.code) + b"\x00" * 3
    raise TypeError(f"no array element for {value!r}")


def array_extra(rows: list[list]) -> bytes:
    """The extra bytes of one array constant: row count, column count, then rows."""
    cols = len(rows[0]) if rows else 0
    return u32(len(rows)) + u32(cols) + b"".join(ser_ar(v) for r in rows for v in r)


def mem_area_extra(rects: list[tuple[int, int, int, int]]) -> bytes:
    """The extra bytes of one PtgMemArea: a count, then (rwFirst, rwLast, colFirst, colLast)."""
    return u32(len(rects)) + b"".join(u32(a) + u32(b) + u32(c) + u32(d) for a, b, c, d in rects)
