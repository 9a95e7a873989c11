"""Hostile shapes: each gives its exact result or error, in bounded time.

The timings that matter are in bench/bench_hostile.py; here each shape is
checked for what it returns, at a size where a quadratic or greedy reader
would not finish within the test run.
"""

import time

import pytest

import hostile_shapes as shapes


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


@pytest.mark.parametrize("wide", [False, True], ids=["narrow", "wide"])
def test_shared_formula_flood_resolves_every_follower_to_the_only_reaching_group(mdn, wide):
    n = 200_000
    data = shapes.shared_formula_flood(n, wide=wide)
    [(name, rows, cols, texts, unresolved, errors)] = mdn.formula_r1c1_report(data, "a1")
    assert (unresolved, errors) == (0, [])
    assert sorted(rows) == list(range(1, n + 1)) and set(cols) == {0} and set(texts) == {"7"}
    [sheet], _ = mdn.formula_surface_report(data)
    assert sheet[4] == [0] * n and sheet[5] == ["7"]


@pytest.mark.parametrize("build, expected", [
    (lambda: shapes.nested_parens(1_000_000), shapes.LENGTH_CAP_MESSAGE),
    (lambda: shapes.long_operands_combined(40), shapes.LENGTH_CAP_MESSAGE),
    (lambda: shapes.array_rows_without_columns(), "array constant cell count exceeds cap"),
], ids=["nested-parens", "long-operands", "array-rows-without-columns"])
def test_formula_shapes_fail_with_a_counted_message(mdn, build, expected):
    (_, rows, _, _, unresolved, errors), = mdn.formula_r1c1_report(build(), "r1c1")
    assert (rows, unresolved, errors) == ([], 0, [(expected, 1)])


def test_deep_unary_minus_below_the_cap_renders_in_full(mdn):
    n = 1_000_000
    (_, _, _, texts, _, errors), = mdn.formula_r1c1_report(shapes.nested_minus(n), "a1")
    assert errors == [] and texts == ["-" * n + "1"]


def test_one_huge_shared_string_is_shared_not_copied(mdn):
    [(_, cells)] = mdn.raw_values_report(shapes.shared_string_flood(1_000_000))
    assert len(cells) == 1_000_000
    first = cells[0][4]
    assert len(first) == 8_388_608 and all(c[4] is first for c in cells)


def test_a_million_defined_names(mdn):
    _, names = mdn.formula_surface_report(shapes.defined_name_flood(1_000_000))
    assert len(names) == 1_000_000 and names[0] == ("N", "5") and names[-1] == ("N", "5")


def test_a_million_supporting_book_sheet_names(mdn):
    assert mdn.raw_values_report(shapes.supporting_sheet_flood(1_000_000)) == [("S", [])]


@pytest.mark.parametrize("build, outcome", [
    (shapes.workbook_with_giant_record, "record payload overruns buffer"),
    (shapes.shared_strings_claiming_huge_string, "string bytes past end"),
], ids=["workbook-part", "shared-strings"])
def test_records_claiming_huge_lengths_fail_the_call(mdn, build, outcome, raises_exactly):
    with raises_exactly(RuntimeError, outcome):
        mdn.raw_values_report(build())


def test_worksheet_record_claiming_268_mb_is_counted(mdn):
    (_, rows, _, texts, _, errors), = mdn.formula_r1c1_report(shapes.worksheet_with_giant_record(), "a1")
    assert (rows, texts, errors) == ([0], ["3"], [("record payload overruns buffer", 1)])


def test_overlapping_entries_read_the_same_bytes(mdn):
    reports = mdn.formula_r1c1_report(shapes.overlapping_entries(), "a1")
    assert [(name, texts) for name, _, _, texts, _, _ in reports] == [("One", ["1"]), ("Two", ["1"])]


def test_near_miss_formula_pairs_classify_in_linear_time(mdn):
    pairs = shapes.near_miss_pairs(1)
    (result,), seconds = timed(lambda: mdn.formula_delta_batch(pairs))
    assert result[0] is True
    # A quadratic search over ~22,000 tokens would take minutes.
    assert seconds < 5


def test_total_formula_text_of_a_call_is_bounded(mdn):
    # Each formula renders a megabyte from nine token bytes; the call stops
    # producing text at its ceiling (256 MiB plus 64 bytes per input byte)
    # and counts the rest instead.
    cells, name_chars = 400, 1_000_000
    data = shapes.long_sheet_name_referenced(cells, name_chars)
    (_, rows, _, texts, _, errors), = mdn.formula_r1c1_report(data, "a1")
    text_size = name_chars + len("!A1")
    kept = ((256 << 20) + 64 * len(data)) // text_size
    assert len(texts) == kept < cells
    assert texts[0] == "a" * name_chars + "!A1"
    assert errors == [(shapes.LENGTH_CAP_MESSAGE, cells - kept)]
