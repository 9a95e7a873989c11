"""The test-side writer itself: its framing matches the documented bytes, and
its valid archives are readable by an independent ZIP reader (so a failure in
the module's tests points at the module, not at the fixture)."""

import io
import zipfile
import zlib

import pytest

from xlsb_builder import (
    DEFLATED, STORED, ZipEntry, Zip64Records, build_xlsb, record, record_length_bytes,
    rk_float, rk_int, wide, wide_units, zip_archive,
)


@pytest.mark.parametrize("built, expected", [
    (record(0), b"\x00\x00"),
    (record(145), b"\x91\x01\x00"),                      # BrtBeginSheetData, two-byte id
    (record(427, b"\xAB"), b"\xAB\x03\x01\xAB"),          # BrtShrFmla: 0x1AB -> AB 03
    (record_length_bytes(268_435_455), b"\xff\xff\xff\x7f"),
    (record_length_bytes(128), b"\x80\x01"),
    (wide(None), b"\xff\xff\xff\xff"),
    (wide(""), b"\x00\x00\x00\x00"),
    (wide("\U0001F600"), b"\x02\x00\x00\x00\x3d\xd8\x00\xde"),
    (wide_units([0xD800]), b"\x01\x00\x00\x00\x00\xd8"),
    (rk_int(-1).to_bytes(4, "little"), b"\xfe\xff\xff\xff"),
    (rk_float(1.0).to_bytes(4, "little"), b"\x00\x00\xf0\x3f"),
])
def test_encodings(built, expected):
    assert built == expected


@pytest.mark.parametrize("entry", [
    ZipEntry("a.bin", b"stored bytes", STORED),
    ZipEntry("a.bin", b"deflated " * 100, DEFLATED),
    ZipEntry("a.bin", b"described " * 100, descriptor=True),
    ZipEntry("a.bin", b"zip64 sizes " * 10, zip64=True),
])
@pytest.mark.parametrize("zip64", [None, Zip64Records()])
def test_valid_archives_read_back(entry, zip64):
    archive = zip_archive([entry, ZipEntry("b.txt", b"second")], zip64=zip64)
    with zipfile.ZipFile(io.BytesIO(archive)) as z:
        assert z.testzip() is None
        assert z.read("a.bin") == entry.data
        assert z.read("b.txt") == b"second"


def test_broken_crc_is_what_a_reader_rejects():
    archive = zip_archive([ZipEntry("a.bin", b"payload", crc=zlib.crc32(b"payload") ^ 1)])
    with zipfile.ZipFile(io.BytesIO(archive)) as z, pytest.raises(zipfile.BadZipFile):
        z.read("a.bin")


def test_workbook_holds_the_expected_parts():
    data = build_xlsb([("One", []), ("Chart", None, "chartsheets/sheet1.bin")],
                      shared_strings=["x"])
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        assert z.namelist() == [
            "[Content_Types].xml", "_rels/.rels", "xl/workbook.bin",
            "xl/_rels/workbook.bin.rels", "xl/worksheets/sheet1.bin", "xl/sharedStrings.bin"]
        assert b'Target="chartsheets/sheet1.bin"' in z.read("xl/_rels/workbook.bin.rels")
