"""raw_values_report over the shared corpus of real workbooks.

Every workbook decodes to a complete report or to the one error its bytes
call for. Where the same workbook was also saved in the XML format, its cached
values (read with openpyxl) are an independent reference for ours.
"""

import csv
import datetime
import math
import pathlib
import re
from collections import Counter

import pytest

CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"

NOT_A_CONTAINER = "not a valid zip/xlsb container"
NOT_FOUND = "zip entry not found"


def read_tsv(name):
    path = CORPUS / name
    if not path.is_file():
        return []
    with path.open(newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f, delimiter="\t"))


INVENTORY = {r["relpath"]: r for r in read_tsv("INVENTORY_EXTRA.tsv")}
TWINS = [(r["xlsb"], r["twin"]) for r in read_tsv("TWINS.tsv") if not r["twin"].endswith(".xlsb")]


def expected_error(relpath):
    """The one error a file's bytes call for, or None for a readable workbook."""
    info = INVENTORY.get(relpath, {})
    if info.get("provenance") in ("cfb-encrypted", "empty"):    # not a ZIP archive at all
        return NOT_A_CONTAINER
    if info.get("provenance") == "not-a-workbook" or "workbook part at" in info.get("notes", ""):
        return NOT_FOUND
    return None


def corpus_files():
    if not CORPUS.is_dir():
        return [pytest.param(None, marks=pytest.mark.skip(reason="the shared corpus is not present"))]
    return sorted(str(p.relative_to(CORPUS)) for p in CORPUS.rglob("*.xlsb"))


@pytest.mark.parametrize("relpath", corpus_files())
def test_corpus_workbook_decodes(mdn, relpath):
    data = (CORPUS / relpath).read_bytes()
    error = expected_error(relpath)
    if error is not None:
        with pytest.raises(RuntimeError) as exc_info:
            mdn.raw_values_report(data)
        assert str(exc_info.value) == error
        return
    result = mdn.raw_values_report(data)
    for name, cells in result:
        assert type(name) is str
        for row, col, num, boolean, text in cells:
            assert type(row) is int and type(col) is int
            assert [num is not None, boolean is not None, text is not None].count(True) == 1


# ---------------------------------------------------------------------------
# Agreement with the XML twin.
#
# The two files hold the same workbook, but the readers see it differently.
# Each kind of difference, and how the comparison treats it:
#  * Error cells: we report the stored code ("0x7"); openpyxl gives the
#    display text ("#DIV/0!"). Codes are mapped to texts before comparing.
#  * Dates and times: openpyxl turns numbers with a date or duration format
#    into datetime objects (rounded to milliseconds); we report the stored
#    serial number. They are turned back into serials with the twin's epoch
#    (1900 or 1904) and compared to within a millisecond.
#  * Numbers: the XML form keeps each double as decimal text, sometimes of
#    only 15 significant digits, so numbers agree to 1e-9, not bit for bit.
#    Whole numbers come back from openpyxl as int; they compare equal.
#  * Booleans: both sides give True/False; a bool never equals 1 or 1.0 here.
#  * Texts: the XML form escapes control characters as _xHHHH_, which
#    openpyxl leaves in place; they are unescaped before comparing.
#  * Inline-string cells (BrtCellSt) are never reported by us, so a text only
#    the twin holds is expected; a number or boolean only the twin holds is not.
#  * An empty text (a formula's cached empty result, an empty shared string) is
#    a cell for us; openpyxl reads it as no value, so only we hold it.
#  * Sheets: macro and dialog sheets are not worksheets and are missing from our
#    report; only sheets of the same name are compared.
#  * What remains are values the application recalculated when it saved the
#    twin (NOW(), TODAY(), RAND()), a value openpyxl will not read as a date
#    (a serial of 1e12 in a date format becomes "#VALUE!"), and the serial 60,
#    the fictitious 29 February 1900, which openpyxl reads as the 28th: at most
#    a few cells per workbook.

# BErr code -> the text the XML form stores for it.
ERROR_TEXTS = {"0x0": "#NULL!", "0x7": "#DIV/0!", "0xf": "#VALUE!", "0x17": "#REF!", "0x1d": "#NAME?",
               "0x24": "#NUM!", "0x2a": "#N/A", "0x2b": "#GETTING_DATA"}
MILLISECOND_IN_DAYS = 1 / 86_400_000
XML_ESCAPE = re.compile(r"_x([0-9A-Fa-f]{4})_")


class Serial(float):
    """A number openpyxl had turned into a date or duration."""


def twin_values(path):
    """(sheet name -> {(row, col): value}) from the XML twin's cached values, zero-based."""
    import openpyxl

    wb = openpyxl.load_workbook(path, read_only=True, data_only=True)
    try:
        sheets = {}
        for ws in wb.worksheets:
            ws.reset_dimensions()  # some writers store a wrong used range
            sheets[ws.title] = {(c.row - 1, c.column - 1): twin_value(c.value, wb.epoch)
                                for cells in ws.iter_rows() for c in cells
                                if getattr(c, "value", None) is not None}
        return sheets
    finally:
        wb.close()


def twin_value(value, epoch):
    from openpyxl.utils.datetime import to_excel

    if isinstance(value, (datetime.datetime, datetime.date, datetime.time, datetime.timedelta)):
        return Serial(to_excel(value, epoch))
    if isinstance(value, str):
        return XML_ESCAPE.sub(lambda m: chr(int(m.group(1), 16)), value)
    return value


def our_value(num, boolean, text):
    if num is not None:
        return num
    if boolean is not None:
        return boolean
    return ERROR_TEXTS.get(text, text) if text.startswith("0x") else text


def same(ours, theirs):
    if isinstance(ours, bool) or isinstance(theirs, bool):
        return type(ours) is type(theirs) and ours == theirs
    if isinstance(theirs, Serial):
        return isinstance(ours, float) and abs(ours - theirs) <= MILLISECOND_IN_DAYS
    if isinstance(ours, float) and isinstance(theirs, (int, float)):
        return math.isclose(ours, theirs, rel_tol=1e-9, abs_tol=1e-300)
    return ours == theirs


def compare_sheet(ours, theirs, tally):
    for key in ours.keys() | theirs.keys():
        if key not in theirs:
            tally["only ours: empty text" if ours[key] == "" else "only ours"] += 1
        elif key not in ours:
            tally["only twin: text" if isinstance(theirs[key], str) else "only twin"] += 1
        elif same(ours[key], theirs[key]):
            tally["agree"] += 1
        else:
            tally["differ"] += 1


def twin_params():
    if not CORPUS.is_dir():
        return [pytest.param(None, None, marks=pytest.mark.skip(reason="the shared corpus is not present"))]
    return [pytest.param(a, b, id=a) for a, b in TWINS if expected_error(a) is None]


@pytest.mark.filterwarnings("ignore::UserWarning")  # openpyxl on odd styles and dates
@pytest.mark.parametrize("xlsb, twin", twin_params())
def test_values_match_the_xml_twin(mdn, xlsb, twin):
    ours = {name: {(r, c): our_value(n, b, t) for r, c, n, b, t in cells}
            for name, cells in mdn.raw_values_report((CORPUS / xlsb).read_bytes())}
    try:
        theirs = twin_values(CORPUS / twin)
    except Exception as exc:  # a few twins use XML that openpyxl does not accept
        pytest.skip(f"openpyxl cannot read the twin: {type(exc).__name__}")
    tally = Counter()
    for name in ours.keys() & theirs.keys():
        compare_sheet(ours[name], theirs[name], tally)
    assert tally["only twin"] == 0, (xlsb, dict(tally))
    assert tally["only ours"] <= tally["agree"] // 100, (xlsb, dict(tally))
    assert tally["differ"] <= max(2, tally["agree"] // 200), (xlsb, dict(tally))
