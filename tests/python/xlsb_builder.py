"""Writes XLSB workbooks for the tests, one record at a time.

Every call returns bytes laid out as the record it is named after, so a
fixture reads like the record stream it stands for::

    build_xlsb(sheets=[("Data", [row(1), cell_real(0, 2.5), cell_isst(1, 0)])],
               shared_strings=["apple"])

The ZIP container is written by hand rather than with zipfile, because the
tests need archives no well-behaved writer produces: wrong CRC-32s, lying
sizes, encrypted flags, broken ZIP64 records and so on (see `ZipEntry` and
`zip_archive`).
"""

from __future__ import annotations

import struct
import zlib
from dataclasses import dataclass

# ---------------------------------------------------------------------------
# Primitive values (all little-endian).


def u8(v: int) -> bytes:
    return struct.pack("<B", v)


def u16(v: int) -> bytes:
    return struct.pack("<H", v)


def u32(v: int) -> bytes:
    return struct.pack("<I", v)


def i32(v: int) -> bytes:
    return struct.pack("<i", v)


def f64(v: float) -> bytes:
    return struct.pack("<d", v)


NULL_STRING = 0xFFFFFFFF


def utf16_units(text: str) -> list[int]:
    """The UTF-16 code units of `text` (surrogate pairs for astral characters)."""
    data = text.encode("utf-16-le", "surrogatepass")
    return list(struct.unpack(f"<{len(data) // 2}H", data))


def wide_units(units: list[int], count: int | None = None) -> bytes:
    """A wide string from raw code units, lone surrogates included.

    `count` overrides the stored count, for strings that claim more (or fewer)
    units than follow.
    """
    stored = len(units) if count is None else count
    return u32(stored) + struct.pack(f"<{len(units)}H", *units)


def wide(text: str | None) -> bytes:
    """XLWideString: u32 count of UTF-16 code units, then the units.

    None writes the null string (count 0xFFFFFFFF, no units).
    """
    if text is None:
        return u32(NULL_STRING)
    return wide_units(utf16_units(text))


# ---------------------------------------------------------------------------
# Record framing.


def record_type_bytes(rtype: int) -> bytes:
    """One byte below 128; otherwise low 7 bits with the continuation bit, then the rest."""
    if rtype < 0x80:
        return u8(rtype)
    if rtype >= 0x4000:
        raise ValueError(f"record type {rtype} needs more than two bytes")
    return bytes([0x80 | (rtype & 0x7F), rtype >> 7])


def record_length_bytes(length: int) -> bytes:
    """The payload length in 7-bit groups, least significant first."""
    out = bytearray()
    while True:
        group = length & 0x7F
        length >>= 7
        if length:
            out.append(group | 0x80)
        else:
            out.append(group)
            return bytes(out)


def record(rtype: int, payload: bytes = b"") -> bytes:
    return record_type_bytes(rtype) + record_length_bytes(len(payload)) + payload


def record_lying_length(rtype: int, payload: bytes, declared: int) -> bytes:
    """A record whose length field says `declared` whatever the payload holds."""
    return record_type_bytes(rtype) + record_length_bytes(declared) + payload


# Broken framings, each a complete part on its own or the tail of one.
TRUNCATED_ID = b"\x91"  # first byte of a two-byte id, then the part ends
ID_PAST_TWO_BYTES = b"\x91\x81\x00"  # the second id byte also has its high bit set
TRUNCATED_LENGTH = b"\x05"  # an id and then nothing
LENGTH_PAST_FOUR_BYTES = b"\x05\xff\xff\xff\xff\x00"  # five length bytes
PAYLOAD_OVERRUN = b"\x05\x10" + b"\x00" * 15  # claims 16 bytes, holds 15


# ---------------------------------------------------------------------------
# Record types.

BRT_ROW_HDR = 0
BRT_CELL_BLANK = 1
BRT_CELL_RK = 2
BRT_CELL_ERROR = 3
BRT_CELL_BOOL = 4
BRT_CELL_REAL = 5
BRT_CELL_ST = 6
BRT_CELL_ISST = 7
BRT_FMLA_STRING = 8
BRT_FMLA_NUM = 9
BRT_FMLA_BOOL = 10
BRT_FMLA_ERROR = 11
BRT_SST_ITEM = 19
BRT_NAME = 39
BRT_BEGIN_SHEET = 129
BRT_END_SHEET = 130
BRT_BEGIN_BOOK = 131
BRT_END_BOOK = 132
BRT_BEGIN_BUNDLE_SHS = 143
BRT_END_BUNDLE_SHS = 144
BRT_BEGIN_SHEET_DATA = 145
BRT_END_SHEET_DATA = 146
BRT_WS_DIM = 148
BRT_BUNDLE_SH = 156
BRT_BEGIN_SST = 159
BRT_END_SST = 160
BRT_BEGIN_EXTERNALS = 353
BRT_END_EXTERNALS = 354
BRT_SUP_BOOK_SRC = 355
BRT_SUP_SELF = 357
BRT_SUP_SAME = 358
BRT_SUP_TABS = 359
BRT_SUP_OTHER = 361
BRT_EXTERN_SHEET = 362
BRT_ARR_FMLA = 426
BRT_SHR_FMLA = 427

# BErr error codes.
ERR_NULL, ERR_DIV0, ERR_VALUE, ERR_REF, ERR_NAME, ERR_NUM, ERR_NA, ERR_GETTING_DATA = (
    0x00, 0x07, 0x0F, 0x17, 0x1D, 0x24, 0x2A, 0x2B)


# ---------------------------------------------------------------------------
# Worksheet part.


def row(r: int, *, height: int = 300) -> bytes:
    """BrtRowHdr: rw, ixfe, miyRw, three flag bytes, no column spans."""
    return record(BRT_ROW_HDR, u32(r) + u32(0) + u16(height) + b"\x00\x00\x00" + u32(0))


def cell(col: int, style: int = 0) -> bytes:
    """The Cell structure every cell record starts with: column, then style and flags."""
    return u32(col) + u32(style)


def rk_int(n: int) -> int:
    """The RK value of an integer that fits in 30 bits."""
    return ((n << 2) | 0x2) & 0xFFFFFFFF


def rk_float(x: float) -> int:
    """The RK value keeping the upper 32 bits of `x` (exact when the lower half is zero)."""
    return struct.unpack("<Q", f64(x))[0] >> 32 & 0xFFFFFFFC


def cell_rk(col: int, rk: int) -> bytes:
    return record(BRT_CELL_RK, cell(col) + u32(rk))


def cell_real(col: int, value: float) -> bytes:
    return record(BRT_CELL_REAL, cell(col) + f64(value))


def cell_bool(col: int, value: bool | int) -> bytes:
    return record(BRT_CELL_BOOL, cell(col) + u8(int(value)))


def cell_error(col: int, code: int) -> bytes:
    return record(BRT_CELL_ERROR, cell(col) + u8(code))


def cell_isst(col: int, index: int) -> bytes:
    return record(BRT_CELL_ISST, cell(col) + u32(index))


def cell_st(col: int, text: str) -> bytes:
    return record(BRT_CELL_ST, cell(col) + wide(text))


def cell_blank(col: int) -> bytes:
    return record(BRT_CELL_BLANK, cell(col))


def parsed_formula(rgce: bytes, rgcb: bytes = b"") -> bytes:
    """CellParsedFormula / NameParsedFormula: cce, rgce, cb, rgcb."""
    return u32(len(rgce)) + rgce + u32(len(rgcb)) + rgcb


def fmla_num(col: int, value: float, rgce: bytes, rgcb: bytes = b"", flags: int = 0) -> bytes:
    return record(BRT_FMLA_NUM, cell(col) + f64(value) + u16(flags) + parsed_formula(rgce, rgcb))


def fmla_string(col: int, text: str, rgce: bytes, rgcb: bytes = b"", flags: int = 0) -> bytes:
    return record(BRT_FMLA_STRING, cell(col) + wide(text) + u16(flags) + parsed_formula(rgce, rgcb))


def fmla_bool(col: int, value: bool | int, rgce: bytes, rgcb: bytes = b"", flags: int = 0) -> bytes:
    return record(BRT_FMLA_BOOL, cell(col) + u8(int(value)) + u16(flags) + parsed_formula(rgce, rgcb))


def fmla_error(col: int, code: int, rgce: bytes, rgcb: bytes = b"", flags: int = 0) -> bytes:
    return record(BRT_FMLA_ERROR, cell(col) + u8(code) + u16(flags) + parsed_formula(rgce, rgcb))


def rfx(rows: tuple[int, int], cols: tuple[int, int]) -> bytes:
    """RfX: first row, last row, first column, last column."""
    return u32(rows[0]) + u32(rows[1]) + u32(cols[0]) + u32(cols[1])


def shr_fmla(rows: tuple[int, int], cols: tuple[int, int], rgce: bytes, rgcb: bytes = b"") -> bytes:
    return record(BRT_SHR_FMLA, rfx(rows, cols) + parsed_formula(rgce, rgcb))


def arr_fmla(rows: tuple[int, int], cols: tuple[int, int], rgce: bytes, rgcb: bytes = b"",
             flags: int = 0) -> bytes:
    return record(BRT_ARR_FMLA, rfx(rows, cols) + u8(flags) + parsed_formula(rgce, rgcb))


def ws_dim(rows: tuple[int, int], cols: tuple[int, int]) -> bytes:
    """BrtWsDim: the used range, which writers put before the sheet data."""
    return record(BRT_WS_DIM, rfx(rows, cols))


def sheet_part(records: list[bytes], dimension: tuple[tuple[int, int], tuple[int, int]] = ((0, 0), (0, 0))
               ) -> bytes:
    """A worksheet part: the used range, then the cell records inside the sheet
    and sheet-data brackets."""
    return (record(BRT_BEGIN_SHEET) + ws_dim(*dimension) + record(BRT_BEGIN_SHEET_DATA)
            + b"".join(records) + record(BRT_END_SHEET_DATA) + record(BRT_END_SHEET))


# ---------------------------------------------------------------------------
# Formula tokens (a few, for small formulas).


def ptg_exp(anchor_row: int) -> bytes:
    """PtgExp: this cell follows the group formula anchored at `anchor_row`."""
    return b"\x01" + u32(anchor_row)


def ptg_int(n: int) -> bytes:
    return b"\x1e" + u16(n)


def ptg_num(x: float) -> bytes:
    return b"\x1f" + f64(x)


def ptg_str(text: str) -> bytes:
    units = utf16_units(text)
    return b"\x17" + u16(len(units)) + struct.pack(f"<{len(units)}H", *units)


def col_word(col: int, *, row_rel: bool = True, col_rel: bool = True) -> int:
    """ColRelShort: 14-bit column, bit 14 column-relative, bit 15 row-relative."""
    return col | (col_rel << 14) | (row_rel << 15)


def ptg_ref(row_: int, colword: int) -> bytes:
    """PtgRef (reference class): row, then a column word from `col_word`."""
    return b"\x24" + u32(row_) + u16(colword)


def ptg_area(rows: tuple[int, int], colwords: tuple[int, int]) -> bytes:
    """PtgArea (reference class): first row, last row, first and last column words."""
    return b"\x25" + u32(rows[0]) + u32(rows[1]) + u16(colwords[0]) + u16(colwords[1])


PTG_ADD = b"\x03"
PTG_MUL = b"\x05"


# ---------------------------------------------------------------------------
# Workbook part.


def bundle_sh(name: str | None, rel_id: str | None, *, sheet_id: int = 1, state: int = 0) -> bytes:
    """BrtBundleSh: hsState, iTabID, strRelID, strName."""
    return record(BRT_BUNDLE_SH, u32(state) + u32(sheet_id) + wide(rel_id) + wide(name))


def name_record(name: str | None, rgce: bytes = b"", rgcb: bytes = b"", itab: int = 0xFFFFFFFF,
                flags: int = 0) -> bytes:
    """BrtName: flags, shortcut key, itab, name, formula, then a null comment."""
    return record(BRT_NAME, u32(flags) + u8(0) + u32(itab) + wide(name)
                  + parsed_formula(rgce, rgcb) + wide(None))


def sup_self() -> bytes:
    return record(BRT_SUP_SELF)


def sup_same() -> bytes:
    return record(BRT_SUP_SAME)


def sup_book_src(path: str = "book2.xlsb") -> bytes:
    return record(BRT_SUP_BOOK_SRC, wide(path))


def sup_other() -> bytes:
    """Record type 361, a supporting book of another kind (DDE, OLE)."""
    return record(BRT_SUP_OTHER)


def sup_tabs(names: list[str | None]) -> bytes:
    return record(BRT_SUP_TABS, u32(len(names)) + b"".join(wide(n) for n in names))


def extern_sheet(entries: list[tuple[int, int, int]]) -> bytes:
    """BrtExternSheet: the Xti entries (iSupBook, itabFirst, itabLast)."""
    return record(BRT_EXTERN_SHEET,
                  u32(len(entries)) + b"".join(i32(s) + i32(f) + i32(l) for s, f, l in entries))


def workbook_part(bundles: list[bytes], names: list[bytes] = (), externals: list[bytes] = ()) -> bytes:
    """xl/workbook.bin laid out as writers order it: sheets, externals, then names."""
    out = [record(BRT_BEGIN_BOOK), record(BRT_BEGIN_BUNDLE_SHS), *bundles, record(BRT_END_BUNDLE_SHS)]
    if externals:
        out += [record(BRT_BEGIN_EXTERNALS), *externals, record(BRT_END_EXTERNALS)]
    out += [*names, record(BRT_END_BOOK)]
    return b"".join(out)


# ---------------------------------------------------------------------------
# Shared strings part.


def sst_item(text: str) -> bytes:
    """BrtSSTItem: a flags byte (plain text), then the string."""
    return record(BRT_SST_ITEM, u8(0) + wide(text))


def shared_strings_part(items: list[str | bytes]) -> bytes:
    """xl/sharedStrings.bin; a str becomes a BrtSSTItem, bytes are taken as a record."""
    body = b"".join(sst_item(i) if isinstance(i, str) else i for i in items)
    return (record(BRT_BEGIN_SST, u32(len(items)) + u32(len(items))) + body + record(BRT_END_SST))


# ---------------------------------------------------------------------------
# Relationships and package XML.

REL_NS = "http://schemas.openxmlformats.org/package/2006/relationships"
REL_TYPE = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/"


def rels_document(body: str) -> bytes:
    """A relationships document around `body`, raw XML text."""
    return (f'<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'
            f'<Relationships xmlns="{REL_NS}">{body}</Relationships>').encode()


def relationship(rel_id: str, target: str, kind: str = "worksheet") -> str:
    return f'<Relationship Id="{rel_id}" Type="{REL_TYPE}{kind}" Target="{target}"/>'


def rels(targets: dict[str, str]) -> bytes:
    """Relationship id -> target; the type follows the target's folder."""
    def kind(target: str) -> str:
        for folder, k in (("worksheets", "worksheet"), ("chartsheets", "chartsheet")):
            if folder in target:
                return k
        return "sharedStrings" if "sharedStrings" in target else "styles"
    return rels_document("".join(relationship(i, t, kind(t)) for i, t in targets.items()))


CONTENT_TYPE_OF = {
    "xl/workbook.bin": "application/vnd.ms-excel.sheet.binary.macroEnabled.main",
    "xl/sharedStrings.bin": "application/vnd.ms-excel.sharedStrings",
    "worksheets/": "application/vnd.ms-excel.worksheet",
}


def content_types(part_names: list[str]) -> bytes:
    """[Content_Types].xml with an override for each known part."""
    overrides = []
    for name in part_names:
        kind = next((t for key, t in CONTENT_TYPE_OF.items() if key in name), None)
        if kind:
            overrides.append(f'<Override PartName="/{name}" ContentType="{kind}"/>')
    return ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'
            '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
            '<Default Extension="bin" ContentType="application/vnd.ms-excel.sheet.binary.macroEnabled.main"/>'
            '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
            '<Default Extension="xml" ContentType="application/xml"/>'
            + "".join(overrides) + "</Types>").encode()


PACKAGE_RELS = rels_document(
    '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/'
    'relationships/officeDocument" Target="xl/workbook.bin"/>')


# ---------------------------------------------------------------------------
# ZIP container.

STORED = 0
DEFLATED = 8
LOCAL_SIG = b"PK\x03\x04"
CENTRAL_SIG = b"PK\x01\x02"
EOCD_SIG = b"PK\x05\x06"
EOCD64_SIG = b"PK\x06\x06"
EOCD64_LOCATOR_SIG = b"PK\x06\x07"
DESCRIPTOR_SIG = b"PK\x07\x08"
FLAG_ENCRYPTED = 0x0001
FLAG_DESCRIPTOR = 0x0008
FLAG_UTF8 = 0x0800
DOS_TIME, DOS_DATE = 0, (2026 - 1980) << 9 | 1 << 5 | 1


def raw_deflate(data: bytes, level: int = 6) -> bytes:
    c = zlib.compressobj(level, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


@dataclass
class ZipEntry:
    """One archive member, with knobs for breaking it.

    Sizes and CRC default to the truth about `data`; every override is written
    into both the local and the central header.
    """
    name: str
    data: bytes
    method: int = DEFLATED
    flags: int = 0
    crc: int | None = None               # stored CRC-32 (default: the real one)
    uncompressed_size: int | None = None  # declared size (default: len(data))
    compressed_size: int | None = None    # declared size (default: the real one)
    after_stream: bytes = b""            # bytes after the DEFLATE stream, counted in the size
    payload: bytes | None = None         # the stored bytes themselves (default: data, compressed)
    zip64: bool = False                  # sizes in a ZIP64 extra field
    descriptor: bool = False             # sizes in a data descriptor after the data
    local_sig: bytes = LOCAL_SIG

    def stored_bytes(self) -> bytes:
        if self.payload is not None:
            return self.payload
        body = raw_deflate(self.data) if self.method == DEFLATED else self.data
        return body + self.after_stream

    def fields(self) -> tuple[int, int, int]:
        """(crc, compressed size, uncompressed size) as declared."""
        crc = zlib.crc32(self.data) if self.crc is None else self.crc
        csize = len(self.stored_bytes()) if self.compressed_size is None else self.compressed_size
        usize = len(self.data) if self.uncompressed_size is None else self.uncompressed_size
        return crc, csize, usize


def _header_sizes(entry: ZipEntry, *, local: bool) -> tuple[int, int, int, bytes]:
    crc, csize, usize = entry.fields()
    if entry.zip64:
        extra = u16(0x0001) + u16(16) + struct.pack("<QQ", usize, csize)
        return crc, 0xFFFFFFFF, 0xFFFFFFFF, extra
    if entry.descriptor and local:
        return 0, 0, 0, b""
    return crc, csize, usize, b""


def _local_header(entry: ZipEntry) -> bytes:
    crc, csize, usize, extra = _header_sizes(entry, local=True)
    name = entry.name.encode()
    flags = entry.flags | (FLAG_DESCRIPTOR if entry.descriptor else 0)
    version = 45 if entry.zip64 else 20
    return (entry.local_sig + struct.pack("<HHHHHIIIHH", version, flags, entry.method, DOS_TIME,
                                          DOS_DATE, crc, csize, usize, len(name), len(extra))
            + name + extra)


def _descriptor(entry: ZipEntry) -> bytes:
    crc, csize, usize = entry.fields()
    return DESCRIPTOR_SIG + struct.pack("<III", crc, csize, usize)


def _central_header(entry: ZipEntry, offset: int) -> bytes:
    crc, csize, usize, extra = _header_sizes(entry, local=False)
    name = entry.name.encode()
    flags = entry.flags | (FLAG_DESCRIPTOR if entry.descriptor else 0)
    version = 45 if entry.zip64 else 20
    return (CENTRAL_SIG + struct.pack("<HHHHHHIIIHHHHHII", version, version, flags, entry.method,
                                      DOS_TIME, DOS_DATE, crc, csize, usize, len(name),
                                      len(extra), 0, 0, 0, 0, offset)
            + name + extra)


@dataclass
class Zip64Records:
    """The ZIP64 end records; the knobs make them disagree with the archive."""
    entries_delta: int = 0        # added to the entry counts of the ZIP64 end record
    locator_offset_delta: int = 0  # added to the locator's pointer at that record


def zip_archive(entries: list[ZipEntry], *, zip64: Zip64Records | None = None,
                cd_cut: int = 0, eocd_entries: int | None = None, trailing: bytes = b"") -> bytes:
    """The archive bytes.

    `cd_cut` drops that many bytes from the end of the central directory while
    the end record still claims the full size; `eocd_entries` overrides the
    entry count of the end record; `trailing` follows the end record (a comment
    the end record does not declare).
    """
    out = bytearray()
    offsets = []
    for entry in entries:
        offsets.append(len(out))
        out += _local_header(entry) + entry.stored_bytes()
        if entry.descriptor:
            out += _descriptor(entry)
    cd_offset = len(out)
    central = b"".join(_central_header(e, o) for e, o in zip(entries, offsets))
    cd_size = len(central)
    out += central[:len(central) - cd_cut]
    count = len(entries) if eocd_entries is None else eocd_entries
    if zip64 is not None:
        eocd64_offset = len(out)
        n64 = count + zip64.entries_delta
        out += EOCD64_SIG + struct.pack("<QHHIIQQQQ", 44, 45, 45, 0, 0, n64, n64, cd_size, cd_offset)
        out += EOCD64_LOCATOR_SIG + struct.pack("<IQI", 0, eocd64_offset + zip64.locator_offset_delta, 1)
        out += EOCD_SIG + struct.pack("<HHHHIIH", 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0)
    else:
        out += EOCD_SIG + struct.pack("<HHHHIIH", 0, 0, count, count, cd_size, cd_offset, 0)
    return bytes(out + trailing)


def zip_parts(parts: dict[str, bytes], method: int = DEFLATED) -> bytes:
    """A plain archive of the named parts, in dict order."""
    return zip_archive([ZipEntry(name, data, method) for name, data in parts.items()])


# ---------------------------------------------------------------------------
# Whole workbooks.


def workbook_parts(sheets: list[tuple], *, shared_strings: list[str | bytes] | None = None,
                   names: list[bytes] = (), externals: list[bytes] = (),
                   extra_parts: dict[str, bytes | None] | None = None) -> dict[str, bytes]:
    """The parts of a workbook, by part name.

    Each sheet is (name, records) or (name, records, target): records is a list
    of record bytes (wrapped by `sheet_part`), raw part bytes, or None to write
    no part at all; target defaults to worksheets/sheetN.bin. `extra_parts`
    adds parts or, with None, removes one of the generated parts.
    """
    bundles, targets = [], {}
    parts: dict[str, bytes] = {"[Content_Types].xml": b"", "_rels/.rels": PACKAGE_RELS}
    sheet_parts = {}
    for n, (name, records, *rest) in enumerate(sheets, start=1):
        target = rest[0] if rest else f"worksheets/sheet{n}.bin"
        rel_id = f"rId{n}"
        bundles.append(bundle_sh(name, rel_id, sheet_id=n))
        targets[rel_id] = target
        if records is not None:
            part = records if isinstance(records, bytes) else sheet_part(records)
            sheet_parts["xl/" + target.lstrip("/").removeprefix("xl/")] = part
    if shared_strings is not None:
        targets[f"rId{len(sheets) + 1}"] = "sharedStrings.bin"
    parts["xl/workbook.bin"] = workbook_part(bundles, names, externals)
    parts["xl/_rels/workbook.bin.rels"] = rels(targets)
    parts.update(sheet_parts)
    if shared_strings is not None:
        parts["xl/sharedStrings.bin"] = shared_strings_part(shared_strings)
    parts["[Content_Types].xml"] = content_types(list(parts))
    for part_name, data in (extra_parts or {}).items():
        if data is None:
            parts.pop(part_name, None)
        else:
            parts[part_name] = data
    return parts


def build_xlsb(sheets: list[tuple] = (), *, method: int = DEFLATED, **kwargs) -> bytes:
    """A complete workbook file; see `workbook_parts` for the arguments."""
    return zip_parts(workbook_parts(list(sheets), **kwargs), method)
