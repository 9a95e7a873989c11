"""formula_delta_batch: classification of old/new formula pairs.

Skeleton keys are computed here independently, with hashlib, from the joined
shape labels the classifier is expected to hash. Argument errors belong to
test_boundary.py.
"""

from __future__ import annotations

import contextlib
import csv
import functools
import hashlib
import io
import re
import threading
import time
import warnings
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

CORPUS = Path(__file__).resolve().parents[2] / ".." / "shared" / "corpus"

UNSUPPORTED = (False, False, None, None, "", False)


def key(joined: str) -> str:
    return hashlib.sha256(joined.encode()).hexdigest()[:12]


def wrapped(joined: str, exact: bool = True, added: bool = False, kind: str = "wrapped"):
    return (True, False, kind, exact, f"formula-wrapper:{kind}:{key(joined)}", added)


def plain(extension: bool = False, added: bool = False):
    return (True, extension, None, None, "", added)


IFERROR_KEY = "iferror(|<CORE>|,|NUM|)"


def check_invariants(result: tuple) -> None:
    supported, extension, kind, exact, event_key, _ = result
    if not supported:
        assert result == UNSUPPORTED
    assert (kind is None) == (exact is None) == (event_key == "")
    if extension:
        assert kind is None
    if kind is not None:
        assert kind in ("wrapped", "unwrapped")
        assert event_key.startswith(f"formula-wrapper:{kind}:")
        assert re.fullmatch(r"[0-9a-f]{12}", event_key.rsplit(":", 1)[1])


# ---------------------------------------------------------------------------
# Worked examples

EXAMPLES = [
    (("=A1+B1", "=IFERROR(A1+B1,0)", "=RC[-2]+RC[-1]", "=IFERROR(RC[-2]+RC[-1],0)"), wrapped(IFERROR_KEY)),
    (("=IFERROR(A1+B1,0)", "=A1+B1", "=IFERROR(RC[-2]+RC[-1],0)", "=RC[-2]+RC[-1]"),
     wrapped(IFERROR_KEY, kind="unwrapped")),
    # The new end cell A11 is a reference text the baseline does not use.
    (("=SUM(A1:A10)", "=SUM(A1:A11)", "=R1C1", "=IFERROR(R1C1,0)"), plain(extension=True, added=True)),
    (("=A1", "=A1+B1", "=RC[-2]", "=RC[-2]+RC[-1]"), plain(added=True)),
    (("=SUM(A1:A5)", "=MAX(SUM(A2:A6),0)", "=SUM(R1C1:R5C1)", "=MAX(SUM(R2C1:R6C1),0)"),
     wrapped("max(|<CORE>|,|NUM|)", exact=False, added=True)),
    (("=A1", "=IF(A1>0,A1,0)", "=RC[-2]", "=IF(RC[-2]>0,RC[-2],0)"),
     wrapped("if(|REF|>|NUM|,|<CORE>|,|NUM|)")),
    # An argument comma inside an array constant bounds the run.
    (("=A1", "={1,A1,2}", "=RC[-2]", "={1,RC[-2],2}"), wrapped("{|NUM|,|<CORE>|,|NUM|}")),
    (("=A1", "=A1*2", "=RC[-2]", "=RC[-2]*2"), plain()),
    (("=1+2", "=MAX(1+2,0)", "=1+2", "=MAX(1+2,0)"), plain()),
    (("=A1", "=a1", "=RC[-2]", "=rc[-2]"), plain()),
    (("=A1+B1", "=A1", "=RC[-2]+RC[-1]", "=RC[-2]"), plain()),
    (("=_xlfn.SINGLE(A1)", "=A1", "=RC[-2]", "=RC[-2]"), plain(added=True)),
    (("=LET(x,1,x)", "=1", "=1", "=1"), UNSUPPORTED),
    (("=1", "=_xlfn.LAMBDA(x,x)(1)", "=1", "=1"), UNSUPPORTED),
    (("=@A1", "=A1", "=RC[-2]", "=RC[-2]"), UNSUPPORTED),
    (("=A1", "=A1", "=RC[-2]", "=SUM(RC[-2]"), UNSUPPORTED),
]


@pytest.mark.parametrize(("pair", "expected"), EXAMPLES, ids=[p[1] for p, _ in EXAMPLES])
def test_worked_examples(mdn, pair, expected):
    assert mdn.formula_delta_batch([pair]) == [expected]


def test_examples_in_one_batch_keep_their_order(mdn):
    assert mdn.formula_delta_batch([p for p, _ in EXAMPLES]) == [e for _, e in EXAMPLES]


def test_str_subclass_items_are_read_as_text(mdn):
    class Text(str):
        pass

    pair = tuple(Text(t) for t in EXAMPLES[0][0])
    assert mdn.formula_delta_batch([pair]) == [EXAMPLES[0][1]]


# ---------------------------------------------------------------------------
# Properties

REFERENCES = ["A1", "B2", "$C$3", "A1:A10", "Sheet2!B1:B5", "'My Sheet'!A1", "Name1", "R[-1]C", "RC[2]"]
ATOMS = st.sampled_from(REFERENCES + ["1", "2.5", "1E+3", '"x"', "TRUE", "#N/A"])
FUNCTIONS = st.sampled_from(["SUM", "IFERROR", "MAX", "_xlfn.SINGLE", "ROUND", "sum"])


OPERATORS = st.sampled_from(["+", "-", "*", "&", "<>", " + "])


def _compound(children):
    return st.one_of(
        st.builds(lambda f, args: f"{f}({','.join(args)})", FUNCTIONS,
                  st.lists(children, min_size=1, max_size=3)),
        st.builds(lambda a, op, b: a + op + b, children, OPERATORS, children),
        children.map(lambda c: f"({c})"),
    )


FORMULAS = st.recursive(ATOMS, _compound, max_leaves=8).map(lambda body: "=" + body)
# Texts over the characters the tokenizer treats specially, most of them refused.
NOISE = st.text(alphabet="=AB1:$!(),+-*\"'{};#[]@ \n%<>.E", max_size=16)
TEXTS = st.one_of(FORMULAS, NOISE)
PAIRS = st.tuples(TEXTS, TEXTS, TEXTS, TEXTS)


@settings(max_examples=200, deadline=None)
@given(pair=st.tuples(FORMULAS, FORMULAS, FORMULAS, FORMULAS), index=st.integers(0, 3), data=st.data())
def test_a_non_ascii_character_or_a_missing_equals_sign_refuses_the_pair(mdn, pair, index, data):
    text = pair[index]
    if data.draw(st.booleans(), label="drop the equals sign"):
        broken = text[1:]
    else:
        char = data.draw(st.characters(min_codepoint=0x80, exclude_categories=("Cs",)), label="char")
        at = data.draw(st.integers(0, len(text)), label="at")
        broken = text[:at] + char + text[at:]
    broken_pair = pair[:index] + (broken,) + pair[index + 1:]
    assert mdn.formula_delta_batch([broken_pair]) == [UNSUPPORTED]


@settings(max_examples=200, deadline=None)
@given(pairs=st.lists(PAIRS, max_size=12), repeats=st.lists(st.integers(0, 11), max_size=6))
def test_a_batch_gives_what_each_pair_gives_alone(mdn, pairs, repeats):
    batch = pairs + [pairs[i] for i in repeats if i < len(pairs)]
    results = mdn.formula_delta_batch(batch)
    assert results == [mdn.formula_delta_batch([pair])[0] for pair in batch]
    for result in results:
        check_invariants(result)


@settings(max_examples=100, deadline=None)
@given(pair=PAIRS, times=st.integers(2, 20))
def test_a_repeated_pair_gives_identical_tuples(mdn, pair, times):
    results = mdn.formula_delta_batch([pair] * times)
    assert len(results) == times
    assert all(result == results[0] for result in results)


@settings(max_examples=200, deadline=None)
@given(old=FORMULAS)
def test_wrapping_in_iferror_and_unwrapping_share_one_key(mdn, old):
    new = f"=IFERROR({old[1:]},0)"
    wrap, unwrap = mdn.formula_delta_batch([(old, new, old, new), (new, old, new, old)])
    # Only formulas with a reference or a function call are searched for.
    if any(ref in old for ref in REFERENCES) or re.search(r"[A-Za-z]\(", old):
        assert wrap == wrapped(IFERROR_KEY)
        assert unwrap == wrapped(IFERROR_KEY, kind="unwrapped")
    else:
        assert wrap == unwrap == plain()


# ---------------------------------------------------------------------------
# The interpreter lock


def test_other_threads_run_while_a_batch_is_classified(mdn):
    # Long formulas of distinct lengths, so no pair is served from the cache.
    batch = []
    for n in range(60):
        old = "=" + "A+" * (4000 + n) + "A"
        new = "=" + "A+" * 16000 + "A"
        batch.append((old, new, old, new))
    stamps = []
    stop = threading.Event()

    def counter():
        count = 0
        while not stop.is_set():
            count += 1
            if count % 1000 == 0:
                stamps.append(time.perf_counter())

    thread = threading.Thread(target=counter)
    thread.start()
    try:
        while not stamps:
            time.sleep(0.001)
        start = time.perf_counter()
        results = mdn.formula_delta_batch(batch)
        end = time.perf_counter()
    finally:
        stop.set()
        thread.join()
    assert all(r == plain() for r in results)
    assert end - start > 0.05, "the batch was too quick to show anything"
    # With the lock held throughout, the counter could only run just before
    # the call or just after it, never in the middle half of it.
    quarter = (end - start) / 4
    assert sum(start + quarter < t < end - quarter for t in stamps) > 10


# ---------------------------------------------------------------------------
# Pairs made from the corpus workbooks' formulas


@functools.lru_cache(maxsize=1)
def corpus_formulas() -> tuple[str, ...]:
    """Every distinct formula text of the corpus workbooks' XML twins."""
    import openpyxl

    formulas: dict[str, None] = {}
    with open(CORPUS / "TWINS.tsv", newline="") as fh:
        twins = [row[1] for row in csv.reader(fh, delimiter="\t")][1:]
    for twin in twins:
        # openpyxl warns about (and prints) parts it drops, such as extensions
        # and out-of-range dates, which do not matter for the formula texts.
        with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
            warnings.simplefilter("ignore")
            for text in _formula_texts(openpyxl, CORPUS / twin):
                formulas.setdefault(text)
    return tuple(formulas)


def _formula_texts(openpyxl, path: Path):
    try:
        book = openpyxl.load_workbook(path, read_only=True)
    except Exception:  # encrypted and broken twins have no formulas to offer
        return
    try:
        for sheet in book.worksheets:
            for row in sheet.iter_rows(values_only=True):
                for value in row:
                    text = getattr(value, "text", value)  # array formulas carry .text
                    if isinstance(text, str) and text.startswith("="):
                        yield text
    finally:
        book.close()


@pytest.fixture(scope="module")
def shapes():
    """One corpus formula per shape (digits folded), the module's own supported ones."""
    if not (CORPUS / "TWINS.tsv").is_file():
        pytest.skip("corpus not present")
    by_shape = {}
    for formula in corpus_formulas():
        by_shape.setdefault(re.sub(r"[0-9]+", "0", formula), formula)
    return list(by_shape.values())


def supported_formulas(mdn, formulas):
    results = mdn.formula_delta_batch([(f, f, f, f) for f in formulas])
    return [f for f, result in zip(formulas, results) if result[0]]


STRING_LITERAL = re.compile(r'"(?:[^"]|"")*"')
CELL_LIKE = re.compile(r"(?<![A-Za-z0-9_.])\$?[A-Za-z]{1,3}\$?[0-9]+(?![0-9(])")


def references_a_cell(formula: str) -> bool:
    return bool(CELL_LIKE.search(STRING_LITERAL.sub("", formula)))


@pytest.mark.parametrize(("wrap", "joined", "added"), [
    (lambda body: f"=IFERROR({body},0)", IFERROR_KEY, False),
    (lambda body: f"=ROUND({body},2)", "round(|<CORE>|,|NUM|)", False),
    (lambda body: f'=IFERROR({body},"")', "iferror(|<CORE>|,|TEXT|)", False),
    (lambda body: f"=({body})+ZZ99999", "(|<CORE>|)|+|REF", True),
], ids=["iferror", "round", "iferror-text", "parenthesised-plus-reference"])
def test_corpus_formulas_wrapped_and_unwrapped(mdn, shapes, wrap, joined, added):
    formulas = [f for f in supported_formulas(mdn, shapes) if references_a_cell(f)]
    assert len(formulas) > 100
    news = [wrap(f[1:]) for f in formulas]
    wraps = mdn.formula_delta_batch([(f, n, f, n) for f, n in zip(formulas, news)])
    unwraps = mdn.formula_delta_batch([(n, f, n, f) for f, n in zip(formulas, news)])
    for formula, wrap_result, unwrap_result in zip(formulas, wraps, unwraps):
        assert wrap_result == wrapped(joined, added=added), formula
        assert unwrap_result == wrapped(joined, kind="unwrapped"), formula


# A range whose end row can be moved down, outside quotes and brackets.
AREA_END = re.compile(r"(?<![A-Za-z0-9_.$])(\$?[A-Z]{1,3}\$?[0-9]+:\$?[A-Z]{1,3}\$?)([0-9]+)"
                      r"(?![0-9A-Za-z_(!.])")


def test_corpus_ranges_extended(mdn, shapes):
    pairs = []
    for formula in supported_formulas(mdn, shapes):
        if any(c in formula for c in "\"'["):
            continue
        match = AREA_END.search(formula)
        if match:
            extended = f"{formula[:match.start(2)]}{int(match[2]) + 1}{formula[match.end(2):]}"
            pairs.append((formula, extended, formula, extended))
    assert len(pairs) > 50
    for pair, result in zip(pairs, mdn.formula_delta_batch(pairs)):
        assert result[:5] == (True, True, None, None, ""), pair
        new_range = AREA_END.search(pair[1])[0].lower()
        if new_range not in pair[0].lower():
            assert result[5] is True, pair
    # Moving the end back up is a change of range, not an extension.
    shrinks = [(new, old, new, old) for old, new, _, _ in pairs]
    for pair, result in zip(shrinks, mdn.formula_delta_batch(shrinks)):
        assert result[0] is True and result[1] is False, pair


def test_corpus_references_added_and_removed(mdn, shapes):
    formulas = [f for f in supported_formulas(mdn, shapes) if references_a_cell(f)]
    pairs = [(f, f"{f}+ZZ99999", f, f"{f}+ZZ99999") for f in formulas]
    for pair, result in zip(pairs, mdn.formula_delta_batch(pairs)):
        assert result[0] is True and result[1] is False and result[5] is True, pair
    removed = [(new, old, new, old) for old, new, _, _ in pairs]
    for pair, result in zip(removed, mdn.formula_delta_batch(removed)):
        assert result[0] is True and result[5] is False, pair
