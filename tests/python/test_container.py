"""The ZIP container, the workbook part and the relationships part, seen
through the reports: which failures end a call, with which message, and which
only drop a sheet."""

import subprocess
import sys
import textwrap
import zlib

import pytest

from xlsb_builder import (
    BRT_BUNDLE_SH, BRT_NAME, BRT_SUP_TABS, FLAG_ENCRYPTED, ID_PAST_TWO_BYTES, LENGTH_PAST_FOUR_BYTES,
    PAYLOAD_OVERRUN, STORED, TRUNCATED_ID, TRUNCATED_LENGTH, ZipEntry, Zip64Records, build_xlsb,
    bundle_sh, cell_real, raw_deflate, record, rels_document, row, sheet_part, sup_self, u32, wide,
    wide_units, workbook_part, workbook_parts, zip_archive,
)

NOT_A_CONTAINER = "not a valid zip/xlsb container"
NOT_FOUND = "zip entry not found"
READ_FAILED = "zip entry read failed"
BAD_RELS = "malformed workbook rels xml"

WORKBOOK = "xl/workbook.bin"
RELS = "xl/_rels/workbook.bin.rels"
SHEET1 = "xl/worksheets/sheet1.bin"

SHEETS = [("First", [row(0), cell_real(0, 1.5)]), ("Second", [row(2), cell_real(1, 2.5)])]
FIRST_CELLS = [(0, 0, 1.5, None, None)]
SECOND_CELLS = [(2, 1, 2.5, None, None)]



def archive(knobs_by_part=None, *, sheets=SHEETS, **archive_knobs):
    """The two-sheet workbook, with `ZipEntry` knobs applied to the named parts."""
    knobs_by_part = knobs_by_part or {}
    entries = [ZipEntry(name, data, **knobs_by_part.get(name, {}))
               for name, data in workbook_parts(sheets).items()]
    return zip_archive(entries, **archive_knobs)


def workbook_with(wb_part=None, rels_part=None):
    """The two-sheet workbook with its workbook or relationships part replaced."""
    extra = {}
    if wb_part is not None:
        extra[WORKBOOK] = wb_part
    if rels_part is not None:
        extra[RELS] = rels_part
    return build_xlsb(SHEETS, extra_parts=extra)


def valid_workbook_part():
    return workbook_part([bundle_sh("First", "rId1", sheet_id=1), bundle_sh("Second", "rId2", sheet_id=2)])


# ---------------------------------------------------------------------------
# Archives that cannot be opened fail every report the same way.

VALID = archive()


@pytest.mark.parametrize("data", [
    pytest.param(b"", id="empty"),
    pytest.param(b"PK", id="two-bytes"),
    pytest.param(b"PK\x05\x06" + b"\x00" * 17, id="eocd-cut-short"),
    pytest.param(b"\x00" * 4096, id="zeros"),
    pytest.param(VALID[:-1], id="last-byte-missing"),
    pytest.param(VALID[:len(VALID) // 2], id="second-half-missing"),
    pytest.param(archive(cd_cut=10), id="central-directory-cut"),
    pytest.param(archive(eocd_entries=len(workbook_parts(SHEETS)) + 1), id="more-entries-than-directory"),
    pytest.param(archive(zip64=Zip64Records(entries_delta=1)), id="zip64-entry-count-disagrees"),
    pytest.param(archive(zip64=Zip64Records(locator_offset_delta=8)), id="zip64-locator-misplaced"),
    pytest.param(archive(zip64=Zip64Records(locator_offset_delta=1 << 40)), id="zip64-locator-past-end"),
])
def test_unreadable_archive(report, data, raises_exactly):
    with raises_exactly(RuntimeError, NOT_A_CONTAINER):
        report(data)


def test_missing_workbook_part(report, raises_exactly):
    for name in ("xl/Workbook.bin", "XL/workbook.bin", "/xl/workbook.bin", "xl/workbook.bin "):
        data = build_xlsb(SHEETS, extra_parts={WORKBOOK: None, name: valid_workbook_part()})
        with raises_exactly(RuntimeError, NOT_FOUND):
            report(data)


def test_missing_relationships_part(report, raises_exactly):
    with raises_exactly(RuntimeError, NOT_FOUND):
        report(build_xlsb(SHEETS, extra_parts={RELS: None}))


# ---------------------------------------------------------------------------
# Broken entries: the workbook and relationships parts end the call with the
# entry's message; a worksheet part only drops its sheet.

BROKEN_ENTRIES = [
    # (knobs as a function of the part's data, message)
    pytest.param(lambda d: {"flags": FLAG_ENCRYPTED}, NOT_FOUND, id="encrypted"),
    pytest.param(lambda d: {"method": 99}, NOT_FOUND, id="unknown-method"),
    pytest.param(lambda d: {"method": 12}, NOT_FOUND, id="bzip2-method"),
    pytest.param(lambda d: {"local_sig": b"PK\x03\x05"}, NOT_FOUND, id="bad-local-signature"),
    pytest.param(lambda d: {"crc": zlib.crc32(d) ^ 1}, READ_FAILED, id="bad-crc"),
    pytest.param(lambda d: {"payload": b"\xff" * 40}, READ_FAILED, id="corrupt-deflate"),
    pytest.param(lambda d: {"payload": raw_deflate(d)[:-8]}, READ_FAILED, id="deflate-cut-short"),
    pytest.param(lambda d: {"uncompressed_size": len(d) + 1}, READ_FAILED, id="declared-size-too-large"),
    pytest.param(lambda d: {"uncompressed_size": len(d) - 1}, READ_FAILED, id="declared-size-too-small"),
    pytest.param(lambda d: {"method": STORED, "uncompressed_size": len(d) - 1}, READ_FAILED,
                 id="stored-size-mismatch"),
    pytest.param(lambda d: {"compressed_size": 1 << 24}, READ_FAILED, id="data-past-end-of-archive"),
]


def archive_with_broken(part, knobs):
    parts = workbook_parts(SHEETS)
    entries = [ZipEntry(name, data, **(knobs(data) if name == part else {})) for name, data in parts.items()]
    return zip_archive(entries)


@pytest.mark.parametrize("knobs, message", BROKEN_ENTRIES)
@pytest.mark.parametrize("part", [WORKBOOK, RELS])
def test_broken_workbook_level_entry(report, part, knobs, message, raises_exactly):
    with raises_exactly(RuntimeError, message):
        report(archive_with_broken(part, knobs))


@pytest.mark.parametrize("knobs, message", BROKEN_ENTRIES)
def test_broken_worksheet_entry_drops_the_sheet(mdn, knobs, message):
    assert mdn.raw_values_report(archive_with_broken(SHEET1, knobs)) == [("Second", SECOND_CELLS)]


@pytest.mark.parametrize("knobs", [
    pytest.param({}, id="plain"),
    pytest.param({"method": STORED}, id="stored"),
    pytest.param({"descriptor": True}, id="data-descriptor"),
    pytest.param({"after_stream": b"trailing garbage after the final block"}, id="bytes-after-deflate-stream"),
    pytest.param({"zip64": True}, id="zip64-extra-field"),
])
def test_readable_entry_shapes(mdn, knobs):
    data = archive({name: knobs for name in workbook_parts(SHEETS)})
    assert mdn.raw_values_report(data) == [("First", FIRST_CELLS), ("Second", SECOND_CELLS)]


def test_consistent_zip64_archive(mdn):
    data = archive({name: {"zip64": True} for name in workbook_parts(SHEETS)}, zip64=Zip64Records())
    assert mdn.raw_values_report(data) == [("First", FIRST_CELLS), ("Second", SECOND_CELLS)]


def test_duplicate_names_use_the_first_entry(mdn):
    parts = workbook_parts(SHEETS)
    entries = [ZipEntry(name, data) for name, data in parts.items()]
    entries.append(ZipEntry(SHEET1, sheet_part([row(9), cell_real(9, 9.0)])))
    entries.append(ZipEntry(WORKBOOK, workbook_part([bundle_sh("Other", "rId1")])))
    assert mdn.raw_values_report(zip_archive(entries)) == [("First", FIRST_CELLS), ("Second", SECOND_CELLS)]


DECLARED_HUGE = textwrap.dedent("""
    import resource, sys, time
    sys.path.insert(0, sys.argv[1])
    import morvane_diff_native as mdn
    from xlsb_builder import ZipEntry, workbook_parts, zip_archive, cell_real, row
    sheets = [("Only", [row(0), cell_real(0, 1.0)])]
    parts = workbook_parts(sheets)
    knobs = {"zip64": True} if sys.argv[3] == "zip64" else {}
    entries = [ZipEntry(n, d, uncompressed_size=int(sys.argv[2]) if n == sys.argv[4] else None, **knobs)
               for n, d in parts.items()]
    data = zip_archive(entries)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    try:
        mdn.raw_values_report(data)
        outcome = "returned"
    except RuntimeError as exc:
        outcome = str(exc)
    elapsed = time.perf_counter() - start
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print(outcome, elapsed, grown, sep="\\t")
""")


@pytest.mark.parametrize("declared, shape", [
    (0xFFFFFFFE, "plain"),
    (1 << 32, "zip64"),
    (1 << 62, "zip64"),
])
def test_declared_huge_size_fails_fast(declared, shape, mdn):
    """A few bytes of DEFLATE data claiming gigabytes: no huge buffer is made.

    Run in a child process so the peak resident size is not that of the suite.
    """
    here = __file__.rsplit("/", 1)[0]
    for part in (WORKBOOK, SHEET1):
        out = subprocess.run([sys.executable, "-c", DECLARED_HUGE, here, str(declared), shape, part],
                             capture_output=True, text=True, check=True).stdout
        outcome, elapsed, grown_kib = out.rstrip("\n").split("\t")
        expected = READ_FAILED if part == WORKBOOK else "returned"
        assert (part, outcome) == (part, expected)
        assert float(elapsed) < 0.5
        assert int(grown_kib) < 64 * 1024


# ---------------------------------------------------------------------------
# The workbook part: a malformed handled record or a broken record stream
# ends the call with its message.

GOOD_BUNDLES = [bundle_sh("First", "rId1", sheet_id=1), bundle_sh("Second", "rId2", sheet_id=2)]


@pytest.mark.parametrize("extra_records, message", [
    pytest.param([record(BRT_NAME, b"\x00" * 8)], "read past end (u32)", id="name-8-bytes"),
    pytest.param([record(BRT_NAME, b"\x00" * 9)], "read past end (u32)", id="name-9-bytes"),
    pytest.param([record(BRT_NAME, u32(0) + b"\x00" + u32(0) + wide("n") + u32(5) + b"\x00" * 4)],
                 "BrtName rgce overruns payload", id="name-rgce-overrun"),
    pytest.param([record(BRT_NAME, u32(0) + b"\x00" + u32(0) + wide("n") + u32(0) + u32(3) + b"\x00")],
                 "BrtName rgcb overruns payload", id="name-rgcb-overrun"),
    pytest.param([record(BRT_NAME, u32(0) + b"\x00" + u32(0) + wide("n") + u32(0) + b"\x00\x00")],
                 "read past end (u32)", id="name-cb-missing"),
    pytest.param([record(BRT_BUNDLE_SH, u32(0) + u32(3) + wide("rId3") + u32(0x800001))],
                 "wide string length exceeds cap", id="bundle-name-over-cap"),
    pytest.param([record(BRT_BUNDLE_SH, u32(0) + u32(3) + wide("rId3") + u32(4) + b"a\x00")],
                 "slice past end", id="bundle-name-past-end"),
    pytest.param([record(BRT_BUNDLE_SH, u32(0) + u32(3) + wide("rId3") + wide_units([0xDC00]))],
                 "invalid utf-16 in wide string", id="bundle-name-lone-surrogate"),
    pytest.param([record(BRT_BUNDLE_SH, u32(0) + u32(3))], "read past end (u32)", id="bundle-without-strings"),
    pytest.param([record(BRT_SUP_TABS, b"\x00\x00\x00")], "read past end (u32)", id="suptabs-3-bytes"),
    pytest.param([sup_self(), record(BRT_SUP_TABS, u32(2) + wide("A"))], "read past end (u32)",
                 id="suptabs-second-name-missing"),
    pytest.param([record(362, u32(2) + b"\x00" * 12)], "read past end (u32)", id="externsheet-second-entry"),
    pytest.param([TRUNCATED_ID], "truncated record id", id="truncated-id"),
    pytest.param([ID_PAST_TWO_BYTES], "record id continues past 2 bytes", id="id-past-2-bytes"),
    pytest.param([TRUNCATED_LENGTH], "truncated record length", id="truncated-length"),
    pytest.param([LENGTH_PAST_FOUR_BYTES], "record length continues past 4 bytes", id="length-past-4-bytes"),
    pytest.param([PAYLOAD_OVERRUN], "record payload overruns buffer", id="payload-overrun"),
])
def test_malformed_workbook_part(report, extra_records, message, raises_exactly):
    part = b"".join(GOOD_BUNDLES) + b"".join(extra_records)
    with raises_exactly(RuntimeError, message):
        report(workbook_with(wb_part=part))


def test_workbook_part_without_handled_records_yields_no_sheets(report):
    result = report(workbook_with(wb_part=b""))
    assert result in ([], ([], []))


def test_unhandled_records_are_not_read(mdn):
    """Records the workbook parser does not handle may hold anything."""
    junk = [record(356, b"\xff"), record(360, b"\xff" * 3), record(40, b"")]
    part = workbook_part(GOOD_BUNDLES, externals=junk)
    assert [s for s, _ in mdn.raw_values_report(workbook_with(wb_part=part))] == ["First", "Second"]


# ---------------------------------------------------------------------------
# Relationships: malformed XML fails the call; targets become part names.


@pytest.mark.parametrize("document", [
    pytest.param(rels_document('<Relationship Id="rId1" Target="worksheets/sheet1.bin"></Other>'),
                 id="mismatched-end-tag"),
    pytest.param(rels_document("") + b"</Relationships>", id="end-tag-with-nothing-open"),
    pytest.param(rels_document('<Relationship Id="rId1" Target="w\xe9"/>').replace(b"\xc3\xa9", b"\xe9"),
                 id="not-utf8"),
])
def test_malformed_relationships(report, document, raises_exactly):
    with raises_exactly(RuntimeError, BAD_RELS):
        report(workbook_with(rels_part=document))


@pytest.mark.parametrize("target, stored_as", [
    ("worksheets/sheet1.bin", "xl/worksheets/sheet1.bin"),
    ("/xl/worksheets/sheet1.bin", "xl/worksheets/sheet1.bin"),
    ("//xl/worksheets/sheet1.bin", "xl/worksheets/sheet1.bin"),
    ("xl/worksheets/sheet1.bin", "xl/worksheets/sheet1.bin"),
    ("xl/xl/worksheets/a.bin", "xl/xl/worksheets/a.bin"),
    ("XL/worksheets/s.bin", "xl/XL/worksheets/s.bin"),
    ("../worksheets/s.bin", "xl/../worksheets/s.bin"),
    ("./worksheets/s.bin", "xl/./worksheets/s.bin"),
    ("worksheets\\s.bin", "xl/worksheets\\s.bin"),
    ("/worksheets/s.bin", "xl/worksheets/s.bin"),
])
def test_relationship_target_names_the_part(mdn, target, stored_as):
    part = sheet_part([row(4), cell_real(2, 7.0)])
    data = build_xlsb([("Only", None, target)], extra_parts={stored_as: part})
    assert mdn.raw_values_report(data) == [("Only", [(4, 2, 7.0, None, None)])]


@pytest.mark.parametrize("target, stored_as", [
    ("worksheets/Sheet1.bin", "xl/worksheets/sheet1.bin"),   # names compare byte for byte
    ("../worksheets/s.bin", "worksheets/s.bin"),             # ".." is not resolved
    ("xl/worksheets/s.bin", "xl/xl/worksheets/s.bin"),       # one "xl/" is removed
])
def test_relationship_target_naming_another_part(mdn, target, stored_as):
    data = build_xlsb([("Only", None, target)], extra_parts={stored_as: sheet_part([cell_real(0, 1.0)])})
    assert mdn.raw_values_report(data) == []


def test_relationship_selection(mdn):
    """Only resolvable worksheet targets are reported; workbook order is kept."""
    wb = workbook_part([bundle_sh("NoRelId", None), bundle_sh("Chart", "rIdC"), bundle_sh("Kept", "rIdK"),
                        bundle_sh("Unknown", "rIdX"), bundle_sh("IdOnly", "rIdI"), bundle_sh("Twin", "rIdT")])
    doc = rels_document(
        '<r:Relationship xmlns:r="urn:x" r:Id="rIdK" r:Target="worksheets/sheet1.bin"/>'
        '<Relationship Id="rIdC" Target="chartsheets/sheet1.bin"></Relationship>'
        '<Relationship Id="rIdI"/>'
        '<Relationship Id="rIdT" Target="nowhere.bin"/>'
        '<Relationship Id="rIdT" Target="/xl/worksheets/sheet1.bin"/>')
    data = build_xlsb(extra_parts={WORKBOOK: wb, RELS: doc, SHEET1: sheet_part([cell_real(0, 3.0)]),
                                   "xl/chartsheets/sheet1.bin": sheet_part([cell_real(0, 4.0)])})
    cells = [(0, 0, 3.0, None, None)]
    assert mdn.raw_values_report(data) == [("Kept", cells), ("Twin", cells)]


def test_entity_reference_in_target_is_kept_as_written(mdn):
    data = build_xlsb([("Amp", None, "worksheets/a&amp;b.bin")],
                      extra_parts={"xl/worksheets/a&amp;b.bin": sheet_part([cell_real(0, 1.0)]),
                                   "xl/worksheets/a&b.bin": sheet_part([cell_real(0, 2.0)])})
    assert mdn.raw_values_report(data) == [("Amp", [(0, 0, 1.0, None, None)])]

