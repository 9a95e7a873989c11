"""formula_r1c1_report: every formula cell of every worksheet as text, with
shared and array formulas resolved per cell and every failure counted."""

from dataclasses import dataclass

import pytest

from ptg_builder import (
    FN_CONVERT, FN_LENB, FN_MMULT, FN_SUM, FN_USER, PTG_DIV, PTG_EQ, Err, array_extra, mem_area_extra, ptg_area3d,
    ptg_array, ptg_arean, ptg_func, ptg_funcvar, ptg_list, ptg_mem_area, ptg_name, ptg_namex, ptg_ref3d,
    ptg_ref_err3d, ptg_refn, spaces_then,
)
from xlsb_builder import (
    ERR_NA, ID_PAST_TWO_BYTES, LENGTH_PAST_FOUR_BYTES, PTG_ADD, PTG_MUL, TRUNCATED_ID, TRUNCATED_LENGTH, arr_fmla,
    build_xlsb, cell, col_word, extern_sheet, f64, fmla_bool, fmla_error, fmla_num, fmla_string, name_record,
    ptg_area, ptg_exp, ptg_int, ptg_num, ptg_ref, ptg_str, record, row, shr_fmla, sup_book_src, sup_other,
    sup_self, sup_tabs, u16, u32,
)

ONE = ptg_int(1)
ABS = col_word(0, row_rel=False, col_rel=False)  # $A$1's column word with column 0
LENGTH_CAP = 1 << 20


@dataclass
class Sheet:
    name: str
    cells: dict[tuple[int, int], str]
    unresolved: int
    errors: dict[str, int]


def checked(result) -> Sheet:
    """The sheet tuple as a Sheet, after checking its shape."""
    name, rows, cols, texts, unresolved, errors = result
    assert type(result) is tuple and len(rows) == len(cols) == len(texts)
    assert all(type(v) is list for v in (rows, cols, texts, errors))
    cells = {(r, c): t for r, c, t in zip(rows, cols, texts, strict=True)}
    assert len(cells) == len(rows), "a cell is listed twice"
    assert all(type(e) is tuple and len(e) == 2 and type(e[0]) is str and type(e[1]) is int for e in errors)
    tally = dict(errors)
    assert len(tally) == len(errors), "a message is listed twice"
    return Sheet(name, cells, unresolved, tally)


@pytest.fixture
def text_report(mdn):
    """All sheets of the workbook `build_xlsb(sheets, **kwargs)`."""
    def run(sheets, mode="a1", **kwargs):
        return [checked(s) for s in mdn.formula_r1c1_report(build_xlsb(sheets, **kwargs), mode)]
    return run


@pytest.fixture
def sheet(text_report):
    """The one sheet of a workbook whose only worksheet holds `records`."""
    def run(records, mode="a1", **kwargs):
        [only] = text_report([("S", records)], mode, **kwargs)
        return only
    return run


def one_per_row(records_by_row):
    """A row header in front of each record: [(row, record), ...] -> records."""
    return [r for n, rec in records_by_row for r in (row(n), rec)]


# ---------------------------------------------------------------------------
# Plain formulas: rendered at their own cell, in either notation.

PLAIN = [
    # (record at its row, row, col, A1 text, R1C1 text)
    (fmla_num(0, 3.0, ONE + ptg_int(2) + PTG_ADD), 0, 0, "1+2", "1+2"),
    (fmla_num(3, 0.0, ptg_ref(0, col_word(0))), 2, 3, "A1", "R[-2]C[-3]"),
    (fmla_num(4, 0.0, ptg_ref(0, ABS)), 2, 4, "$A$1", "R1C1"),
    (fmla_num(1, 0.0, ptg_area((0, 2), (col_word(1), col_word(1))) + ptg_funcvar(1, FN_SUM)), 4, 1,
     "SUM(B1:B3)", "SUM(R[-4]C:R[-2]C)"),
    # each formula record kind, the string one with a cached text that moves the formula
    (fmla_string(2, "cached", ptg_str('say "hi"')), 5, 2, '"say ""hi"""', '"say ""hi"""'),
    (fmla_bool(0, 1, ptg_ref(7, col_word(0)) + ptg_int(0) + PTG_EQ), 6, 0, "A8=0", "R[1]C=0"),
    (fmla_error(0, ERR_NA, ptg_num(0.5) + ptg_int(0) + PTG_DIV), 7, 0, "0.5/0", "0.5/0"),
    # a stored column keeps its low 14 bits
    (fmla_num(0x00014002, 0.0, ptg_ref(8, col_word(0))), 8, 2, "A9", "RC[-2]"),
    # table entries whose operand counts differ from the file format's own list
    (fmla_num(0, 0.0, ptg_area((0, 1), (col_word(0), col_word(1))) * 2 + ptg_func(FN_MMULT)), 9, 0,
     "MMULT(A1:B2,A1:B2)", "MMULT(R[-9]C:R[-8]C[1],R[-9]C:R[-8]C[1])"),
    (fmla_num(0, 0.0, ptg_str("ab") + ptg_func(FN_LENB)), 10, 0, 'LENB("ab")', 'LENB("ab")'),
    (fmla_num(0, 0.0, ONE + ptg_str("m") + ptg_str("ft") + ptg_func(FN_CONVERT)), 11, 0,
     'CONVERT(1,"m","ft")', 'CONVERT(1,"m","ft")'),
]


@pytest.mark.parametrize("mode, column", [("a1", 3), ("r1c1", 4)])
def test_plain_formulas(sheet, mode, column):
    result = sheet(one_per_row([(case[1], case[0]) for case in PLAIN]), mode)
    assert result == Sheet("S", {(case[1], case[2]): case[column] for case in PLAIN}, 0, {})


ARRAY_CONSTANTS = [
    # (token stream, extra bytes, text): rows are stored first, then columns
    (ptg_array(), array_extra([[1, 2, 3]]), "{1,2,3}"),
    (ptg_array(), array_extra([[1], [2]]), "{1;2}"),
    (ptg_array(), array_extra([[1.5, "x"], [True, Err(ERR_NA)]]), '{1.5,"x";TRUE,#N/A}'),
    (ptg_array(), array_extra([[False, 'a"b']]), '{FALSE,"a""b"}'),
    (ptg_array() + ptg_array() + PTG_ADD, array_extra([[1, 2]]) + array_extra([[3], [4]]), "{1,2}+{3;4}"),
    (ptg_array() + ptg_funcvar(1, FN_SUM), array_extra([]), "SUM({})"),
]


def test_array_constants(sheet):
    records = one_per_row([(n, fmla_num(0, 0.0, rgce, rgcb)) for n, (rgce, rgcb, _) in enumerate(ARRAY_CONSTANTS)])
    assert sheet(records).cells == {(n, 0): text for n, (_, _, text) in enumerate(ARRAY_CONSTANTS)}


A1_B2 = ptg_area((0, 1), (col_word(0), col_word(1)))


@pytest.mark.parametrize("rgce, rgcb, text, errors", [
    pytest.param(ptg_mem_area(A1_B2) + ptg_array() + PTG_ADD,
                 mem_area_extra([(0, 1, 0, 1), (4, 5, 0, 1)]) + array_extra([[5]]), "A1:B2+{5}", {},
                 id="mem-area-rectangles"),
    pytest.param(ONE + ptg_exp(7) + PTG_ADD + ptg_array() + PTG_ADD, u32(7) + array_extra([[2]]),
                 "1+#EXP#+{2}", {}, id="exp-column"),
    pytest.param(ptg_list(xti=0) + ptg_array() + PTG_ADD, array_extra([[3]]), "#TABLE_REF#+{3}", {},
                 id="list-in-this-workbook"),
    pytest.param(ptg_list(xti=1, flags=0x1000) + ptg_array() + PTG_ADD, array_extra([[3]]), "#TABLE_REF#+{3}",
                 {}, id="list-elsewhere-without-data"),
    pytest.param(ptg_list(xti=1) + ptg_array() + PTG_ADD, array_extra([[3]]), None, {"read past end (u32)": 1},
                 id="list-elsewhere-owns-the-rest"),
])
def test_extra_bytes_owned_by_other_tokens(sheet, rgce, rgcb, text, errors):
    """An array constant after these tokens reads its values past theirs."""
    result = sheet([row(0), fmla_num(0, 0.0, rgce, rgcb)],
                   externals=[sup_self(), sup_book_src(), extern_sheet([(0, 0, 0), (1, 0, 0)])])
    assert (result.cells, result.errors) == ({(0, 0): text} if text else {}, errors)


# ---------------------------------------------------------------------------
# Shared and array formulas: one stored formula, rendered at every follower.

# A2+SUM(A1:A2) as stored for B2: offsets from the cell that uses it.
SHARED_B2 = ptg_refn(0, -1) + ptg_arean((-1, -1), (0, -1)) + ptg_funcvar(1, FN_SUM) + PTG_ADD
# B1:B2*2 as an array formula stores it: absolute positions with relative flags.
ARRAY_B1_B2 = ptg_area((0, 1), (col_word(1), col_word(1))) + ptg_int(2) + PTG_MUL


@pytest.mark.parametrize("records, a1, r1c1", [
    pytest.param(
        [row(1), fmla_num(1, 0.0, ptg_exp(1)), shr_fmla((1, 3), (1, 1), SHARED_B2),
         row(2), fmla_num(1, 0.0, ptg_exp(1)), row(3), fmla_num(1, 0.0, ptg_exp(1))],
        {(1, 1): "A2+SUM(A1:A2)", (2, 1): "A3+SUM(A2:A3)", (3, 1): "A4+SUM(A3:A4)"},
        {(r, 1): "RC[-1]+SUM(R[-1]C[-1]:RC[-1])" for r in (1, 2, 3)},
        id="shared-B2:B4"),
    pytest.param(
        [row(0), fmla_num(0, 0.0, ptg_exp(0)), arr_fmla((0, 1), (0, 0), ARRAY_B1_B2),
         row(1), fmla_num(0, 0.0, ptg_exp(0))],
        {(0, 0): "B1:B2*2", (1, 0): "B1:B2*2"},
        {(0, 0): "RC[1]:R[1]C[1]*2", (1, 0): "R[-1]C[1]:RC[1]*2"},
        id="array-A1:A2"),
])
def test_group_formula_rendered_at_each_follower(sheet, records, a1, r1c1):
    assert sheet(records, "a1") == Sheet("S", a1, 0, {})
    assert sheet(records, "r1c1") == Sheet("S", r1c1, 0, {})


def followers(cells):
    """Follower records for [(row, col, anchor row), ...], each under its own row header."""
    return [r for rw, col, anchor in cells for r in (row(rw), fmla_num(col, 0.0, ptg_exp(anchor)))]


GROUP_REACH = [
    # (group columns, followers (row, col, anchor), the followers that resolve); rows 2 to 4
    pytest.param((0, 64), [(2, 0, 2), (4, 64, 2), (3, 32, 2), (5, 0, 2), (3, 65, 2), (3, 0, 3), (1, 0, 1)],
                 {(2, 0), (4, 64), (3, 32)}, id="narrow-0-64"),
    pytest.param((0, 65), [(2, 0, 2), (3, 65, 2), (4, 33, 2), (3, 66, 2), (5, 0, 2), (3, 0, 3)],
                 {(2, 0), (3, 65), (4, 33)}, id="wide-0-65"),
    pytest.param((0, 100), [(2, 100, 2), (3, 50, 2), (2, 101, 2), (4, 50, 3)],
                 {(2, 100), (3, 50)}, id="wide-0-100"),
    pytest.param((10, 100), [(2, 9, 2), (2, 10, 2)], {(2, 10)}, id="wide-from-10"),
    pytest.param((7, 7), [(2, 6, 2), (2, 7, 2), (2, 8, 2)], {(2, 7)}, id="one-column"),
    pytest.param((5, 3), [(2, 3, 2), (2, 4, 2), (2, 5, 2)], set(), id="last-column-below-first"),
    pytest.param((100, 0), [(2, 0, 2), (2, 50, 2), (2, 100, 2)], set(), id="wide-reversed"),
]


@pytest.mark.parametrize("group", [shr_fmla, arr_fmla])
@pytest.mark.parametrize("cols, cells, resolved", GROUP_REACH)
def test_which_followers_a_group_reaches(sheet, group, cols, cells, resolved):
    result = sheet([row(2), group((2, 4), cols, ptg_int(7))] + followers(cells))
    assert result == Sheet("S", {pos: "7" for pos in resolved}, len(cells) - len(resolved), {})


@pytest.mark.parametrize("groups, cells, texts", [
    pytest.param([((2, 3), (0, 0)), ((2, 5), (0, 0))], [(3, 0), (5, 0)], ["0", "1"], id="first-narrow-wins"),
    pytest.param([((2, 5), (0, 100)), ((2, 5), (0, 0))], [(3, 0), (3, 1)], ["1", "0"],
                 id="narrow-before-earlier-wide"),
    pytest.param([((2, 3), (0, 100)), ((2, 5), (0, 200))], [(3, 50), (4, 50), (3, 150)], ["0", "1", "1"],
                 id="first-wide-wins"),
])
def test_first_matching_group_in_record_order(sheet, groups, cells, texts):
    """Group n renders as the number n; every follower names anchor row 2."""
    records = [row(2)] + [shr_fmla(rows, cols, ptg_int(n)) for n, (rows, cols) in enumerate(groups)]
    result = sheet(records + followers([(r, c, 2) for r, c in cells]))
    assert result.cells == dict(zip(cells, texts))


@pytest.mark.parametrize("follower_rgce, cells, unresolved, errors", [
    pytest.param(ptg_exp(2), {(2, 0): "7"}, 0, {}, id="resolved"),
    pytest.param(ptg_exp(2) + b"\xff", {(2, 0): "7"}, 0, {}, id="bytes-after-anchor"),
    pytest.param(ptg_exp(9), {}, 1, {}, id="no-group-on-anchor-row"),
    pytest.param(b"\x01", {}, 0, {"PtgExp anchor malformed": 1}, id="bare-ptgexp"),
    pytest.param(b"\x01\x02\x00\x00", {}, 0, {"PtgExp anchor malformed": 1}, id="anchor-cut-short"),
])
def test_follower_anchor(sheet, follower_rgce, cells, unresolved, errors):
    result = sheet([row(2), shr_fmla((2, 2), (0, 0), ptg_int(7)), fmla_num(0, 0.0, follower_rgce)])
    assert result == Sheet("S", cells, unresolved, errors)


# ---------------------------------------------------------------------------
# Damage inside a worksheet is counted and the walk goes on.

SHORT_FMLA_NUM = cell(1) + f64(0.0) + u16(0)  # everything before cce


@pytest.mark.parametrize("damaged, cells, unresolved, errors", [
    pytest.param([row(3), record(0, b"\x05\x00"), fmla_num(1, 0.0, ONE)], {(3, 1): "1"}, 0,
                 {"row header malformed": 1}, id="short-row-header-keeps-the-row"),
    pytest.param([record(9, b"\x01\x00")], {}, 0, {"read past end (u32)": 1}, id="no-column"),
    pytest.param([record(9, SHORT_FMLA_NUM + b"\x00" * 3)], {}, 0, {"read past end (u32)": 1}, id="no-cce"),
    pytest.param([record(9, SHORT_FMLA_NUM + u32(1))], {}, 0, {"slice past end": 1}, id="rgce-overruns"),
    pytest.param([record(9, SHORT_FMLA_NUM + u32(3) + ONE)], {}, 0, {"read past end (u32)": 1}, id="no-cb"),
    pytest.param([record(9, SHORT_FMLA_NUM + u32(3) + ONE + u32(5) + b"ab")], {}, 0, {"slice past end": 1},
                 id="rgcb-overruns"),
    pytest.param([record(8, cell(1) + b"\x00\x00")], {}, 0, {"read past end (u32)": 1}, id="string-no-cch"),
    pytest.param([record(8, cell(1) + u32(100) + b"\x00" * 20)], {}, 0, {"read past end (u32)": 1},
                 id="string-cch-past-end"),
    pytest.param([record(10, cell(1) + b"\x01" + u16(0) + b"\x03")], {}, 0, {"read past end (u32)": 1},
                 id="bool-no-cce"),
    pytest.param([record(427, u32(2) * 3 + b"\x00\x00\x00"), fmla_num(1, 0.0, ptg_exp(2))], {}, 1,
                 {"read past end (u32)": 1}, id="group-no-range"),
    pytest.param([record(426, u32(2) * 4 + b"\x00" + b"\x00" * 3), fmla_num(1, 0.0, ptg_exp(2))], {}, 1,
                 {"read past end (u32)": 1}, id="array-group-no-cce"),
    pytest.param([record(427, u32(2) * 4 + u32(4) + ONE), fmla_num(1, 0.0, ptg_exp(2))], {}, 1,
                 {"slice past end": 1}, id="group-rgce-overruns"),
    pytest.param([record(9, b"\x01"), record(9, b"\x02"), record(0, b"")], {}, 0,
                 {"read past end (u32)": 2, "row header malformed": 1}, id="each-failure-counted"),
])
def test_damaged_records_are_counted(sheet, damaged, cells, unresolved, errors):
    result = sheet([row(2)] + damaged + [row(0), fmla_num(0, 0.0, ONE)])
    assert result == Sheet("S", {(0, 0): "1", **cells}, unresolved, errors)


# Two followers resolved through a group read before the damage, a direct
# formula after it that is never seen.
BEFORE_DAMAGE = b"".join([row(1), fmla_num(1, 0.0, ptg_exp(1)), shr_fmla((1, 2), (1, 1), ptg_refn(0, -1)),
                          row(2), fmla_num(1, 0.0, ptg_exp(1))])
AFTER_DAMAGE = b"".join([row(5), fmla_num(0, 0.0, ONE), fmla_num(1, 0.0, ONE)])


@pytest.mark.parametrize("part, message", [
    pytest.param(BEFORE_DAMAGE + AFTER_DAMAGE[:5], "record payload overruns buffer", id="cut-inside-a-record"),
    pytest.param(BEFORE_DAMAGE + LENGTH_PAST_FOUR_BYTES + AFTER_DAMAGE, "record length continues past 4 bytes",
                 id="length-too-long"),
    pytest.param(BEFORE_DAMAGE + ID_PAST_TWO_BYTES + AFTER_DAMAGE, "record id continues past 2 bytes",
                 id="id-too-long"),
    pytest.param(BEFORE_DAMAGE + TRUNCATED_ID, "truncated record id", id="truncated-id"),
    pytest.param(BEFORE_DAMAGE + TRUNCATED_LENGTH, "truncated record length", id="truncated-length"),
])
def test_stream_error_ends_the_walk_once(sheet, part, message):
    """The error is counted once; followers read before it are still resolved."""
    assert sheet(part) == Sheet("S", {(1, 1): "A2", (2, 1): "A3"}, 0, {message: 1})


def test_render_failures_are_counted_per_message(sheet):
    records = [
        row(0), fmla_num(0, 0.0, ONE),
        fmla_num(1, 0.0, b""),
        fmla_num(2, 0.0, ONE + PTG_ADD),
        fmla_num(3, 0.0, ptg_int(2) + PTG_ADD),
        fmla_num(4, 0.0, b"\x00"),
        fmla_num(5, 0.0, ptg_ref3d(0, 0, ABS)),  # the workbook has no Xti table
        row(3), shr_fmla((3, 4), (0, 0), ONE + PTG_ADD), fmla_num(0, 0.0, ptg_exp(3)),
        row(4), fmla_num(0, 0.0, ptg_exp(3)),
        row(6), arr_fmla((6, 6), (0, 0), ptg_ref_err3d(2)), fmla_num(0, 0.0, ptg_exp(6)),
    ]
    assert sheet(records) == Sheet("S", {(0, 0): "1"}, 0, {
        "stack imbalance at end of render": 1,
        "stack underflow": 2,
        "unknown ptg opcode": 1,
        "xti index out of range": 1,
        "follower:stack underflow": 2,
        "follower:xti index out of range": 1,
    })


@pytest.mark.parametrize("extra, errors", [
    pytest.param(0, {}, id="at-the-cap"),
    pytest.param(1, {"rendered formula text exceeds length cap": 1,
                     "follower:rendered formula text exceeds length cap": 1}, id="one-past-the-cap"),
])
def test_formula_text_length_cap(sheet, extra, errors):
    """Pending spaces in front of the operand 1 make a text of cap + `extra` characters."""
    rgce = spaces_then(ONE, LENGTH_CAP - 1 + extra)
    records = [row(0), fmla_num(0, 0.0, rgce), row(1), shr_fmla((1, 1), (0, 0), rgce), fmla_num(0, 0.0, ptg_exp(1))]
    result = sheet(records)
    assert result.errors == errors
    assert {pos: len(text) for pos, text in result.cells.items()} == ({} if extra else {(0, 0): LENGTH_CAP,
                                                                                      (1, 0): LENGTH_CAP})


@pytest.mark.parametrize("records, text", [
    pytest.param([fmla_num(0, 0.0, ONE), fmla_num(0, 0.0, ptg_int(2))], "2", id="later-direct"),
    pytest.param([fmla_num(0, 0.0, ONE), fmla_num(0, 0.0, b"")], "1", id="failed-later-keeps-earlier"),
    pytest.param([fmla_num(0, 0.0, ptg_exp(0)), fmla_num(0, 0.0, ONE)], "9", id="follower-over-later-direct"),
    pytest.param([fmla_num(0, 0.0, ONE), fmla_num(0, 0.0, ptg_exp(0))], "9", id="follower-over-earlier-direct"),
])
def test_one_text_per_cell(sheet, records, text):
    result = sheet([row(0), shr_fmla((0, 0), (0, 0), ptg_int(9))] + records)
    assert result.cells == {(0, 0): text}


# ---------------------------------------------------------------------------
# Formulas that reach into the workbook part: 3-D references and names.

OTHER_SHEETS = ["My Data", "Q1", "Sheet4", "O'Brien"]
EXTERNALS = [
    sup_self(), sup_book_src(), sup_tabs(["Prices", "2019"]), sup_book_src(), sup_tabs(["Rates"]), sup_other(),
    extern_sheet([(0, 0, 0), (0, 1, 1), (0, 2, 2), (0, 0, 3), (0, -1, -1), (0, -2, -2), (0, 7, 7)]),
    extern_sheet([(1, 0, 0), (1, 0, 1), (2, 0, 0), (1, -2, -2), (0, 4, 4), (3, 0, 0), (-1, 0, 0), (2, 3, 0)]),
]
SHEET_PREFIXES = [
    "Sheet1!", "'My Data'!", "'Q1'!", "'Sheet1:Sheet4'!", "#REF!!", "", "#REF!!",
    "'[1]Prices'!", "'[1]Prices:2019'!", "'[2]Rates'!", "[1]!", "'O''Brien'!", "[2]!", "Sheet1!", "'[2]:Rates'!",
]


def workbook_with_externals(records, names=()):
    return ([("Sheet1", records)] + [(n, None) for n in OTHER_SHEETS]), {"externals": EXTERNALS, "names": names}


@pytest.mark.parametrize("mode, cell_text", [("a1", "$A$1"), ("r1c1", "R1C1")])
def test_three_d_references(text_report, mode, cell_text):
    refs = [ptg_ref3d(i, 0, ABS) for i in range(len(SHEET_PREFIXES))]
    more = [ptg_area3d(1, (0, 1), (ABS, ABS + 1)), ptg_ref_err3d(7), ptg_ref3d(len(SHEET_PREFIXES), 0, ABS)]
    sheets, kwargs = workbook_with_externals(one_per_row(enumerate(fmla_num(0, 0.0, r) for r in refs + more)))
    [result] = text_report(sheets, mode, **kwargs)  # the other sheets have no part
    expected = {(i, 0): prefix + cell_text for i, prefix in enumerate(SHEET_PREFIXES)}
    n = len(SHEET_PREFIXES)
    expected[n, 0] = "'My Data'!" + ("$A$1:$B$2" if mode == "a1" else "R1C1:R2C2")
    expected[n + 1, 0] = "'[1]Prices'!#REF!"
    assert result == Sheet("Sheet1", expected, 0, {"xti index out of range": 1})


def test_defined_and_external_names(text_report):
    names = [name_record("Rate", ptg_num(0.5)), name_record("_xlpm.x"), name_record("_xlfn.MYFUNC")]
    formulas = [
        (ptg_name(1) + ptg_int(2) + PTG_MUL, "Rate*2"),
        (ptg_name(2), "x"),
        (ptg_name(0), "#NAME?"),
        (ptg_name(4), "#NAME?"),
        (ptg_namex(0, 2), "_xlpm.x"),          # through this workbook: no prefix removed
        (ptg_namex(7, 5), "[1]!#EXTNAME4#"),   # through an external book
        (ptg_namex(0, 3) + ONE + ptg_funcvar(2, FN_USER), "MYFUNC(1)"),
    ]
    sheets, kwargs = workbook_with_externals(one_per_row(enumerate(fmla_num(0, 0.0, f) for f, _ in formulas)), names)
    [result] = text_report(sheets, **kwargs)
    assert result.cells == {(n, 0): text for n, (_, text) in enumerate(formulas)}


def test_missing_worksheet_part_leaves_the_sheet_out(text_report):
    records = [row(0), fmla_num(0, 0.0, ONE)]
    result = text_report([("A", records), ("B", None), ("C", records), ("D", None, "worksheets/elsewhere.bin")])
    assert [s.name for s in result] == ["A", "C"]
    assert text_report([("Only", None)]) == []
