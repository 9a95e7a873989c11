"""formula_surface_report: per worksheet every formula cell in A1 with the id
of the stored formula it comes from, a table of those formulas in R1C1, and
the workbook's defined names."""

from dataclasses import dataclass

import pytest

from ptg_builder import array_extra, ptg_array, ptg_ref3d, ptg_refn, spaces_then
from xlsb_builder import (
    LENGTH_PAST_FOUR_BYTES, PTG_ADD, arr_fmla, build_xlsb, cell_real, col_word, extern_sheet, fmla_num,
    name_record, ptg_exp, ptg_int, ptg_num, ptg_ref, record, row, shr_fmla, sup_self,
)

ONE = ptg_int(1)
ABS = col_word(0, row_rel=False, col_rel=False)
LENGTH_CAP = 1 << 20


@dataclass
class Surface:
    name: str
    cells: list[tuple[int, int, str, int]]  # (row, col, A1 text, definition id), in report order
    table: list[str]


def checked(result) -> Surface:
    """The sheet tuple as a Surface, after checking its shape and its ids."""
    assert type(result) is tuple and len(result) == 6
    name, rows, cols, texts, ids, table = result
    assert all(type(v) is list for v in (rows, cols, texts, ids, table))
    cells = list(zip(rows, cols, texts, ids, strict=True))
    assert sorted(set(ids)) == list(range(len(table))), "ids index the table and use all of it"
    return Surface(name, cells, table)


@pytest.fixture
def surface(mdn):
    """(sheets, defined names) of the workbook `build_xlsb(sheets, **kwargs)`."""
    def run(sheets, **kwargs):
        sheet_list, names = mdn.formula_surface_report(build_xlsb(sheets, **kwargs))
        assert type(sheet_list) is list and type(names) is list
        return [checked(s) for s in sheet_list], names
    return run


@pytest.fixture
def sheet(surface):
    def run(records):
        [only], _ = surface([("S", records)])
        return only
    return run


# Followers of a shared formula over B2:B4 (RC[-1]) and of one over C2:C3 (RC[-2]).
B_GROUP = shr_fmla((1, 3), (1, 1), ptg_refn(0, -1))
C_GROUP = shr_fmla((1, 2), (2, 2), ptg_refn(0, -2))


def follower(col, anchor):
    return fmla_num(col, 0.0, ptg_exp(anchor))


@pytest.mark.parametrize("records, cells, table", [
    pytest.param(
        [row(1), follower(1, 1), B_GROUP, row(2), follower(1, 1), row(3), follower(1, 1),
         row(5), fmla_num(0, 1.0, ONE)],
        [(5, 0, "1", 0), (1, 1, "A2", 1), (2, 1, "A3", 1), (3, 1, "A4", 1)], ["1", "RC[-1]"],
        id="ordinary-cells-before-followers"),
    pytest.param(
        [row(1), follower(2, 1), C_GROUP, follower(1, 1), B_GROUP, row(2), follower(1, 1), follower(2, 1)],
        [(1, 2, "A2", 0), (1, 1, "A2", 1), (2, 1, "A3", 1), (2, 2, "A3", 0)], ["RC[-2]", "RC[-1]"],
        id="ids-by-first-use"),
    pytest.param(
        [row(0), fmla_num(0, 1.0, ONE), fmla_num(1, 1.0, ONE)],
        [(0, 0, "1", 0), (0, 1, "1", 1)], ["1", "1"],
        id="identical-ordinary-formulas-two-ids"),
    pytest.param(
        [row(1), follower(0, 9), follower(1, 1), B_GROUP, fmla_num(0, 1.0, ONE), row(2), follower(1, 1)],
        [(1, 0, "1", 0), (1, 1, "A2", 1), (2, 1, "A3", 1)], ["1", "RC[-1]"],
        id="unresolved-follower-takes-no-id"),
    pytest.param(
        [row(1), fmla_num(0, 1.0, b""), follower(2, 1), shr_fmla((1, 1), (2, 2), PTG_ADD),
         fmla_num(3, 1.0, ONE + PTG_ADD), fmla_num(4, 1.0, ONE), follower(1, 1), B_GROUP],
        [(1, 4, "1", 0), (1, 1, "A2", 1)], ["1", "RC[-1]"],
        id="cells-failing-in-a1-are-left-out"),
    pytest.param(
        [row(1), follower(0, 0), row(0), follower(0, 0), arr_fmla((0, 1), (0, 0), ptg_ref(0, col_word(1)))],
        [(1, 0, "B1", 0), (0, 0, "B1", 0)], ["R[-1]C[1]"],
        id="group-text-rendered-at-first-follower"),
])
def test_cells_and_definitions(sheet, records, cells, table):
    assert sheet(records) == Surface("S", cells, table)


@pytest.mark.parametrize("records", [
    pytest.param([row(1), fmla_num(1, 0.0, spaces_then(ptg_ref(0, col_word(0)), LENGTH_CAP - 2))], id="ordinary"),
    pytest.param([row(1), shr_fmla((1, 1), (1, 1), spaces_then(ptg_ref(0, col_word(0)), LENGTH_CAP - 2)),
                  follower(1, 1)], id="follower"),
])
def test_definition_that_fails_in_r1c1_gets_empty_text(sheet, records):
    """A1 at B2 fits the text length cap exactly; R[-1]C[-1] is 8 characters longer."""
    assert sheet(records) == Surface("S", [(1, 1, " " * (LENGTH_CAP - 2) + "A1", 0)], [""])


@pytest.mark.parametrize("records", [
    pytest.param([], id="no-records"),
    pytest.param([row(0), cell_real(0, 1.0)], id="values-only"),
    pytest.param([row(0), follower(0, 0), fmla_num(1, 0.0, b"\x00")], id="no-formula-survives"),
])
def test_sheet_without_reported_cells(sheet, records):
    assert sheet(records) == Surface("S", [], [])


BEFORE_DAMAGE = [row(1), follower(1, 1), B_GROUP, fmla_num(0, 1.0, ONE)]
REPORTED_BEFORE_DAMAGE = Surface("S", [(1, 0, "1", 0), (1, 1, "A2", 1)], ["1", "RC[-1]"])


@pytest.mark.parametrize("part", [
    pytest.param(BEFORE_DAMAGE + [record(0, b"\x01"), record(9, b"\x01"), record(427, b"\x00" * 15)],
                 id="records-too-short"),
    pytest.param(BEFORE_DAMAGE + [fmla_num(2, 0.0, b"\x01"), follower(3, 7)], id="followers-without-group"),
    pytest.param(b"".join(BEFORE_DAMAGE) + LENGTH_PAST_FOUR_BYTES + fmla_num(5, 0.0, ONE), id="stream-error"),
])
def test_damage_inside_a_sheet_is_left_out_silently(sheet, part):
    assert sheet(part) == REPORTED_BEFORE_DAMAGE


# ---------------------------------------------------------------------------
# Defined names and sheet selection.

NAMES = [
    # (stored name, rgce, rgcb, target)
    ("Rate", ptg_num(0.5), b"", "0.5"),
    ("Anchor", ptg_ref3d(0, 0, ABS), b"", "Sheet1!$A$1"),
    ("Relative", ptg_ref(2, col_word(1)), b"", "B3"),          # rendered at A1
    ("Shifted", ptg_refn(1, 1), b"", "B2"),
    ("Pair", ptg_array(), array_extra([[1, 2]]), "{1,2}"),
    ("BadXti", ptg_ref3d(5, 0, ABS), b"", None),                # past the Xti table
    ("Empty", b"", b"", None),
    (None, ONE, b"", "1"),                                      # a null name string reads as ""
]


@pytest.mark.parametrize("sheets, reported", [
    pytest.param([("Sheet1", [row(0), fmla_num(0, 0.0, ONE)])], ["Sheet1"], id="one-sheet"),
    pytest.param([("Sheet1", [row(0), fmla_num(0, 0.0, ONE)], "chartsheets/sheet1.bin")], [], id="no-worksheet"),
    pytest.param([("Sheet1", None), ("Kept", [])], ["Kept"], id="missing-part-left-out"),
])
def test_defined_names_reported_whatever_the_sheets(surface, sheets, reported):
    result, names = surface(sheets, names=[name_record(n, rgce, rgcb) for n, rgce, rgcb, _ in NAMES],
                            externals=[sup_self(), extern_sheet([(0, 0, 0)])])
    assert [s.name for s in result] == reported
    assert names == [(n or "", target) for n, _, _, target in NAMES]
