"""raw_values_report: the stored value of every non-blank cell, per worksheet."""

import time
from types import NoneType

import pytest

from xlsb_builder import (
    BRT_CELL_BOOL, BRT_CELL_ERROR, BRT_CELL_ISST, BRT_CELL_REAL, BRT_CELL_RK, BRT_FMLA_BOOL,
    BRT_FMLA_ERROR, BRT_FMLA_NUM, BRT_FMLA_STRING, BRT_ROW_HDR, BRT_SST_ITEM, ERR_DIV0, ERR_NA,
    ERR_NULL, ID_PAST_TWO_BYTES, LENGTH_PAST_FOUR_BYTES, PAYLOAD_OVERRUN, PTG_ADD, STORED,
    TRUNCATED_ID, TRUNCATED_LENGTH, ZipEntry, arr_fmla, build_xlsb, cell, cell_blank, cell_bool,
    cell_error, cell_isst, cell_real, cell_rk, cell_st, col_word, fmla_bool, fmla_error, fmla_num,
    fmla_string, ptg_exp, ptg_int, ptg_ref, record, rk_float, rk_int, row, sheet_part, shr_fmla, u8,
    u16, u32, wide, wide_units, workbook_parts, zip_archive,
)

FORMULA = ptg_int(1) + ptg_int(2) + PTG_ADD  # =1+2


@pytest.fixture
def cells_of(mdn):
    """The cells of a one-sheet workbook holding `records`."""
    def decode(records, shared_strings=None):
        [(name, cells)] = mdn.raw_values_report(build_xlsb([("S", records)], shared_strings=shared_strings))
        assert name == "S"
        return cells
    return decode


# ---------------------------------------------------------------------------
# One cell per value record, of the kind its record gives.


@pytest.mark.parametrize("record_, value", [
    pytest.param(cell_rk(3, rk_int(5)), (5.0, None, None), id="rk"),
    pytest.param(cell_real(3, -2.5), (-2.5, None, None), id="real"),
    pytest.param(cell_real(3, float("inf")), (float("inf"), None, None), id="real-infinity"),
    pytest.param(cell_bool(3, 0), (None, False, None), id="bool-false"),
    pytest.param(cell_bool(3, 1), (None, True, None), id="bool-true"),
    pytest.param(cell_bool(3, 0x80), (None, True, None), id="bool-any-nonzero"),
    pytest.param(cell_error(3, ERR_DIV0), (None, None, "0x7"), id="error-div0"),
    pytest.param(cell_error(3, ERR_NA), (None, None, "0x2a"), id="error-na"),
    pytest.param(cell_error(3, ERR_NULL), (None, None, "0x0"), id="error-null"),
    pytest.param(cell_error(3, 0xFF), (None, None, "0xff"), id="error-unknown-code"),
    pytest.param(cell_isst(3, 1), (None, None, "beta"), id="shared-string"),
    pytest.param(fmla_num(3, 4.25, FORMULA), (4.25, None, None), id="formula-number"),
    pytest.param(fmla_string(3, "héllo", FORMULA), (None, None, "héllo"), id="formula-string"),
    pytest.param(fmla_string(3, "", FORMULA), (None, None, ""), id="formula-empty-string"),
    pytest.param(fmla_bool(3, 1, FORMULA), (None, True, None), id="formula-bool"),
    pytest.param(fmla_error(3, ERR_NA, FORMULA), (None, None, "0x2a"), id="formula-error"),
    pytest.param(fmla_num(3, 8.0, ptg_exp(0)), (8.0, None, None), id="follower-cached-number"),
    pytest.param(fmla_num(3, 1.0, b"", b"\xff" * 3), (1.0, None, None), id="formula-tokens-not-read"),
])
def test_value_records(cells_of, record_, value):
    assert cells_of([row(6), record_], ["alpha", "beta"]) == [(6, 3, *value)]


@pytest.mark.parametrize("record_", [
    pytest.param(cell_st(0, "inline"), id="inline-string"),
    pytest.param(cell_blank(0), id="blank"),
    pytest.param(shr_fmla((0, 2), (0, 0), FORMULA), id="shared-formula"),
    pytest.param(arr_fmla((0, 2), (0, 0), FORMULA), id="array-formula"),
    pytest.param(record(12, cell(0) + u32(rk_int(1))), id="type-12"),
    pytest.param(record(1024 + 2, cell(0) + u32(rk_int(1))), id="two-byte-id-with-low-byte-2"),
])
def test_records_without_a_value(cells_of, record_):
    assert cells_of([record_, cell_real(1, 1.0)]) == [(0, 1, 1.0, None, None)]


@pytest.mark.parametrize("rk, expected", [
    (2, 0.0),                       # fInt, 0
    (6, 1.0),                       # fInt, 1
    (0xFFFFFFFE, -1.0),             # fInt, sign-extended shift
    (rk_int(-(1 << 29)), -536870912.0),
    (rk_int((1 << 29) - 1), 536870911.0),
    (15, 0.03),                     # fInt and fX100: 3 / 100
    (rk_int(12345) | 1, 123.45),
    (0x3FF00000, 1.0),              # the upper half of the double 1.0
    (0x3FF00001, 0.01),             # the same with fX100
    (0xBFF00000, -1.0),
    (rk_float(1234.5), 1234.5),
    (0, 0.0),
])
def test_rk_numbers(cells_of, rk, expected):
    [(_, _, num, _, _)] = cells_of([cell_rk(0, rk)])
    assert num == expected and type(num) is float


# ---------------------------------------------------------------------------
# Records too short for their value give no cell; the walk goes on.

SHORT_RECORDS = [
    record(BRT_CELL_RK, cell(0) + b"\x02\x00\x00"),
    record(BRT_CELL_ERROR, cell(0)),
    record(BRT_CELL_BOOL, cell(0)),
    record(BRT_CELL_REAL, cell(0) + b"\x00" * 7),
    record(BRT_CELL_ISST, cell(0) + b"\x00" * 3),
    record(BRT_FMLA_NUM, cell(0) + b"\x00" * 7),
    record(BRT_FMLA_BOOL, cell(0)),
    record(BRT_FMLA_ERROR, cell(0)),
    record(BRT_FMLA_STRING, cell(0) + b"\x00" * 3),
    record(BRT_FMLA_STRING, cell(0) + u32(3) + b"a\x00"),      # text runs past the payload
    record(BRT_FMLA_STRING, cell(0) + u32(0x800001)),          # count above the cap
    record(BRT_CELL_REAL, b"\x00" * 3),
    record(BRT_CELL_RK, b""),
]


@pytest.mark.parametrize("short", SHORT_RECORDS)
def test_short_records_give_no_cell(cells_of, short):
    assert cells_of([short, cell_bool(1, 1)]) == [(0, 1, None, True, None)]


@pytest.mark.parametrize("record_, value", [
    (record(BRT_CELL_RK, cell(0) + u32(6) + b"extra"), 1.0),
    (record(BRT_CELL_REAL, cell(0) + u8(0) * 8 + b"extra"), 0.0),
    (record(BRT_FMLA_NUM, cell(0) + u8(0) * 8), 0.0),            # no flags, no formula: not read
])
def test_bytes_beyond_the_value_are_ignored(cells_of, record_, value):
    assert cells_of([record_]) == [(0, 0, value, None, None)]


def test_formula_string_decodes_leniently(cells_of):
    text = wide_units([0x61, 0xD800, 0x62, 0xDC00])
    payload = cell(0) + text + u16(0) + u32(0) + u32(0)
    assert cells_of([record(BRT_FMLA_STRING, payload)]) == [(0, 0, None, None, "a\ufffdb\ufffd")]


# ---------------------------------------------------------------------------
# Rows and columns.


def test_rows_and_columns(cells_of):
    records = [
        cell_real(0, 1.0),                                 # before any row header: row 0
        row(5), cell_real(1, 2.0),
        record(BRT_ROW_HDR, b"\x09\x00\x00"),              # 3 bytes: row stays 5
        cell_real(2, 3.0),
        record(BRT_ROW_HDR, u32(7)),                       # 4 bytes are enough
        cell_real(0x00014002, 4.0),                        # column kept whole
        fmla_num(0x00014002, 5.0, FORMULA),                # also for a formula's cached value
        row(0xFFFFFFFF), cell_real(0xFFFFFFFF, 6.0),
        row(1), cell_real(0, 7.0),                         # rows need not increase
        cell_real(0, 8.0),                                 # the same cell twice: both reported
    ]
    assert cells_of(records) == [
        (0, 0, 1.0, None, None), (5, 1, 2.0, None, None), (5, 2, 3.0, None, None),
        (7, 81922, 4.0, None, None), (7, 81922, 5.0, None, None),
        (0xFFFFFFFF, 0xFFFFFFFF, 6.0, None, None), (1, 0, 7.0, None, None), (1, 0, 8.0, None, None),
    ]


def test_each_sheet_starts_on_row_0(mdn):
    data = build_xlsb([("A", [row(9), cell_real(0, 1.0)]), ("B", [cell_real(0, 2.0)])])
    assert mdn.raw_values_report(data) == [("A", [(9, 0, 1.0, None, None)]), ("B", [(0, 0, 2.0, None, None)])]


# ---------------------------------------------------------------------------
# Shared strings.


def test_shared_string_indexes(cells_of):
    strings = ["zero", "", "two \U0001F600", "x" * 1000]
    records = [cell_isst(c, i) for c, i in enumerate([0, 1, 2, 3, 4, 0xFFFFFFFF, 2])]
    assert cells_of(records, strings) == [
        (0, 0, None, None, "zero"), (0, 1, None, None, ""), (0, 2, None, None, "two \U0001F600"),
        (0, 3, None, None, "x" * 1000), (0, 6, None, None, "two \U0001F600")]


def test_shared_strings_part_missing(mdn):
    data = build_xlsb([("A", [cell_isst(0, 0)]), ("B", [cell_isst(0, 0), cell_real(1, 1.0)])])
    assert mdn.raw_values_report(data) == [("A", []), ("B", [(0, 1, 1.0, None, None)])]


def test_shared_strings_part_unreadable(mdn):
    """A part that cannot be read gives an empty table, not an error."""
    parts = workbook_parts([("A", [cell_isst(0, 0), cell_real(1, 1.0)])], shared_strings=["lost"])
    entries = [ZipEntry(n, d, crc=0 if n == "xl/sharedStrings.bin" else None) for n, d in parts.items()]
    assert mdn.raw_values_report(zip_archive(entries)) == [("A", [(0, 1, 1.0, None, None)])]


def test_shared_string_items_decode_leniently(cells_of):
    items = [record(BRT_SST_ITEM, u8(0) + wide_units([0xDBFF, 0x41])),
             record(BRT_SST_ITEM, u8(1) + wide("rich") + b"\x01\x00\x00\x00" + b"\x00" * 4),
             record(BRT_SST_ITEM, u8(0) + u32(0))]
    assert cells_of([cell_isst(0, 0), cell_isst(1, 1), cell_isst(2, 2)], items) == [
        (0, 0, None, None, "\ufffdA"), (0, 1, None, None, "rich"), (0, 2, None, None, "")]


def sst_part_with(tail: bytes) -> bytes:
    return record(159, u32(2) + u32(2)) + record(BRT_SST_ITEM, u8(0) + wide("fine")) + tail


@pytest.mark.parametrize("bad_item, message", [
    pytest.param(record(BRT_SST_ITEM, u32(0)), "read past end (u32)", id="item-4-bytes"),
    pytest.param(record(BRT_SST_ITEM, b""), "read past end (u32)", id="item-empty"),
    pytest.param(record(BRT_SST_ITEM, u8(0) + u32(0x800001)), "string length exceeds cap", id="over-cap"),
    pytest.param(record(BRT_SST_ITEM, u8(0) + u32(0xFFFFFFFF)), "string length exceeds cap", id="null-count"),
    pytest.param(record(BRT_SST_ITEM, u8(0) + u32(2) + b"a\x00b"), "string bytes past end", id="past-end"),
    pytest.param(TRUNCATED_ID, "truncated record id", id="truncated-id"),
    pytest.param(ID_PAST_TWO_BYTES, "record id continues past 2 bytes", id="id-past-2-bytes"),
    pytest.param(TRUNCATED_LENGTH, "truncated record length", id="truncated-length"),
    pytest.param(LENGTH_PAST_FOUR_BYTES, "record length continues past 4 bytes", id="length-past-4-bytes"),
    pytest.param(PAYLOAD_OVERRUN, "record payload overruns buffer", id="payload-overrun"),
])
def test_bad_shared_strings_fail_the_call_even_unused(mdn, bad_item, message, raises_exactly):
    # The sheet uses no shared string at all.
    data = build_xlsb([("A", [cell_real(0, 1.0)])], shared_strings=["fine"],
                      extra_parts={"xl/sharedStrings.bin": sst_part_with(bad_item)})
    with raises_exactly(RuntimeError, message):
        mdn.raw_values_report(data)


def test_one_string_object_per_shared_string(mdn):
    """A shared string used by a million cells becomes one str, not a million."""
    text = "é" * 0x800000  # the largest count a string may declare
    sheet = sheet_part([row(0), cell_isst(0, 0) * 1_000_000])
    data = build_xlsb([("Big", sheet)], shared_strings=[text])
    start = time.perf_counter()
    [(_, cells)] = mdn.raw_values_report(data)
    elapsed = time.perf_counter() - start
    assert len(cells) == 1_000_000
    first = cells[0][4]
    assert first == text
    assert all(c[4] is first for c in cells)
    assert elapsed < 3.0


# ---------------------------------------------------------------------------
# Sheets and damage inside them.


def test_sheet_selection_and_order(mdn):
    data = build_xlsb([
        ("Gamma", [cell_real(0, 3.0)]),
        ("Missing", None),                                  # no part in the archive
        ("Chart", [cell_real(0, 9.0)], "chartsheets/sheet1.bin"),
        ("Empty", []),
        ("Alpha", [cell_real(0, 1.0)]),
    ])
    assert mdn.raw_values_report(data) == [
        ("Gamma", [(0, 0, 3.0, None, None)]), ("Empty", []), ("Alpha", [(0, 0, 1.0, None, None)])]


@pytest.mark.parametrize("damage", [
    TRUNCATED_ID, TRUNCATED_LENGTH, PAYLOAD_OVERRUN, cell_real(0, 9.0)[:-1],
    ID_PAST_TWO_BYTES + cell_real(5, 5.0),          # nothing after the error is read
    LENGTH_PAST_FOUR_BYTES + cell_real(5, 5.0),
])
def test_stream_error_keeps_earlier_cells(mdn, damage):
    sheet = row(2) + cell_real(0, 1.0) + cell_bool(1, 1) + damage
    data = build_xlsb([("Cut", sheet), ("Next", [cell_real(0, 2.0)])])
    assert mdn.raw_values_report(data) == [
        ("Cut", [(2, 0, 1.0, None, None), (2, 1, None, True, None)]), ("Next", [(0, 0, 2.0, None, None)])]


def test_result_types(mdn):
    data = build_xlsb([("Mixed", [row(1), cell_rk(0, rk_int(3)), cell_bool(1, 0), cell_error(2, ERR_DIV0),
                                  cell_isst(3, 0), fmla_num(4, 2.0, ptg_ref(0, col_word(0)))])],
                      shared_strings=["s"], method=STORED)
    result = mdn.raw_values_report(data)
    assert type(result) is list
    [sheet] = result
    assert type(sheet) is tuple and type(sheet[0]) is str and type(sheet[1]) is list
    assert len(sheet[1]) == 5
    for cell_ in sheet[1]:
        assert type(cell_) is tuple and len(cell_) == 5
        assert type(cell_[0]) is int and type(cell_[1]) is int
        kinds = [type(v) for v in cell_[2:]]
        assert kinds in ([float, NoneType, NoneType], [NoneType, bool, NoneType], [NoneType, NoneType, str])
