"""What Python sees of the module: attributes, signatures, docstrings, argument
binding and conversion, and the exceptions they raise."""

import collections
import shutil
import subprocess
import sys
import types

import pytest

from xlsb_builder import build_xlsb, cell_real, row

CONTAINER_ERROR = "not a valid zip/xlsb container"
MODE_ERROR = "mode must be 'r1c1' or 'a1'"

PUBLIC_NAMES = [
    "__version__", "__kernel_api_version__", "__native_available__",
    "formula_delta_batch", "formula_r1c1_report", "raw_values_report", "formula_surface_report",
]

SIGNATURES = {
    "formula_delta_batch": "(pairs)",
    "formula_r1c1_report": "(data, mode)",
    "raw_values_report": "(data)",
    "formula_surface_report": "(data)",
}

DOCSTRINGS = {
    "formula_delta_batch": (
        "One GIL-detached call over a bounded batch. Each input tuple is\n"
        "`(baseline_raw, current_raw, baseline_r1c1, current_r1c1)`; each output is\n"
        "`(supported, expected_extension, wrapper_kind, wrapper_exact, event_key,\n"
        "added_reference)`."),
    "formula_r1c1_report": (
        "`data` is the raw XLSB file bytes (never a path -- see\n"
        "`sheet::decode_workbook`'s doc comment). Per sheet: `(name, rows, cols,\n"
        "texts, unresolved_follower_count, [(error_message, count), ...])`.\n"
        "`rows[i]/cols[i]/texts[i]` line up positionally for every successfully\n"
        "decoded formula cell; a cell missing from these arrays failed closed\n"
        "(counted in `unresolved_follower_count` or the error list instead of guessed).\n"
        "`mode` is `\"r1c1\"` or `\"a1\"`."),
    "raw_values_report": (
        "`data` is the raw XLSB file bytes (never a path). Per sheet: `(name,\n"
        "[(row, col, num, boolean, text), ...])` -- exactly one of\n"
        "`num`/`boolean`/`text` is populated per cell, mirroring pyxlsb's own raw\n"
        "`.v` shape (plain float / bool / str, blanks never emitted) so the Python\n"
        "side can feed it through the existing, unchanged `_xlsb_value`."),
    "formula_surface_report": (
        "B2's production-shaped surface. Per sheet:\n"
        "`(name, cell_rows, cell_cols, cell_a1_text, cell_definition_id,\n"
        "definition_r1c1_table)` -- `cell_definition_id[i]` indexes into\n"
        "`definition_r1c1_table` (deduplicated: every follower of one shared/array\n"
        "group shares one entry). Plus workbook-level defined names:\n"
        "`(name, target_a1_or_none)`."),
}

# Attributes every imported extension module has besides its own.
IMPORT_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}



def notes_of(exc_info):
    return getattr(exc_info.value, "__notes__", None)


# ---------------------------------------------------------------------------
# Module attributes and functions.


def test_module_attributes(mdn):
    assert mdn.__all__ == PUBLIC_NAMES
    assert type(mdn.__all__) is list
    # __all__ is created by the first addition, then each name is set in order.
    added = [k for k in vars(mdn) if k == "__all__" or k in PUBLIC_NAMES]
    assert added == ["__all__", *PUBLIC_NAMES]
    assert set(vars(mdn)) == IMPORT_ATTRIBUTES | {"__all__", *PUBLIC_NAMES}
    assert mdn.__doc__ == ""
    assert type(mdn.__version__) is str and mdn.__version__ == "2.0.0"
    assert type(mdn.__kernel_api_version__) is int and mdn.__kernel_api_version__ == 1
    assert mdn.__native_available__ is True


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_function_surface(mdn, name):
    function = getattr(mdn, name)
    assert type(function) is types.BuiltinFunctionType
    assert function.__self__ is mdn
    assert function.__module__ == "morvane_diff_native"
    assert function.__name__ == name
    assert function.__text_signature__ == SIGNATURES[name]
    assert function.__doc__ == DOCSTRINGS[name]


# ---------------------------------------------------------------------------
# Binding: every parameter required, by position or by keyword.

BINDING_CASES = [
    # (function, args, kwargs, message)
    ("formula_delta_batch", ([], 1), {},
     "formula_delta_batch() takes 1 positional arguments but 2 were given"),
    ("formula_delta_batch", (), {}, "formula_delta_batch() missing 1 required positional argument: 'pairs'"),
    ("formula_delta_batch", ([],), {"extra": 1}, "formula_delta_batch() got an unexpected keyword argument 'extra'"),
    ("formula_delta_batch", ([],), {"pairs": []}, "formula_delta_batch() got multiple values for argument 'pairs'"),
    ("formula_r1c1_report", (b"", "a1", 3), {},
     "formula_r1c1_report() takes 2 positional arguments but 3 were given"),
    ("formula_r1c1_report", (b"", "a1", 3, 4), {},
     "formula_r1c1_report() takes 2 positional arguments but 4 were given"),
    ("formula_r1c1_report", (), {},
     "formula_r1c1_report() missing 2 required positional arguments: 'data' and 'mode'"),
    ("formula_r1c1_report", (b"",), {}, "formula_r1c1_report() missing 1 required positional argument: 'mode'"),
    ("formula_r1c1_report", (), {"mode": "a1"},
     "formula_r1c1_report() missing 1 required positional argument: 'data'"),
    ("formula_r1c1_report", (), {"data": b""},
     "formula_r1c1_report() missing 1 required positional argument: 'mode'"),
    ("formula_r1c1_report", (b"", "a1"), {"Mode": "a1"},
     "formula_r1c1_report() got an unexpected keyword argument 'Mode'"),
    ("formula_r1c1_report", (b"",), {"data": b""},
     "formula_r1c1_report() got multiple values for argument 'data'"),
    ("formula_r1c1_report", (b"", "a1"), {"mode": "a1"},
     "formula_r1c1_report() got multiple values for argument 'mode'"),
    ("raw_values_report", (b"", b""), {}, "raw_values_report() takes 1 positional arguments but 2 were given"),
    ("raw_values_report", (), {}, "raw_values_report() missing 1 required positional argument: 'data'"),
    ("raw_values_report", (), {"data": b"", "extra": 1},
     "raw_values_report() got an unexpected keyword argument 'extra'"),
    ("raw_values_report", (b"",), {"data": b""}, "raw_values_report() got multiple values for argument 'data'"),
    ("formula_surface_report", (b"", b""), {},
     "formula_surface_report() takes 1 positional arguments but 2 were given"),
    ("formula_surface_report", (), {}, "formula_surface_report() missing 1 required positional argument: 'data'"),
    ("formula_surface_report", (), {"path": "x"},
     "formula_surface_report() got an unexpected keyword argument 'path'"),
    ("formula_surface_report", (b"",), {"data": b""},
     "formula_surface_report() got multiple values for argument 'data'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_CASES)
def test_binding_errors(mdn, name, args, kwargs, message, raises_exactly):
    with raises_exactly(TypeError, message) as exc_info:
        getattr(mdn, name)(*args, **kwargs)
    assert notes_of(exc_info) is None


@pytest.mark.parametrize("call", [
    lambda m: m.formula_r1c1_report(data=b"x", mode="a1"),
    lambda m: m.formula_r1c1_report(b"x", mode="r1c1"),
    lambda m: m.formula_r1c1_report(mode="a1", data=b"x"),
    lambda m: m.raw_values_report(data=b"x"),
    lambda m: m.formula_surface_report(data=b"x"),
])
def test_keywords_bind_every_parameter(mdn, call, raises_exactly):
    with raises_exactly(RuntimeError, CONTAINER_ERROR):
        call(mdn)


def test_keyword_pairs_is_accepted(mdn):
    assert mdn.formula_delta_batch(pairs=[]) == []


# ---------------------------------------------------------------------------
# Conversion of `data` and `mode`.


class Holder:
    class Nested:
        """A type whose qualified name differs from its name."""


class BytesSubclass(bytes):
    pass


class StrSubclass(str):
    pass


REFUSED_DATA = [
    (bytearray(b"PK"), "'bytearray' object is not an instance of 'bytes'"),
    (memoryview(b"PK"), "'memoryview' object is not an instance of 'bytes'"),
    ("PK", "'str' object is not an instance of 'bytes'"),
    (0, "'int' object is not an instance of 'bytes'"),
    ([b"PK"], "'list' object is not an instance of 'bytes'"),
    (Holder.Nested(), "'Holder.Nested' object is not an instance of 'bytes'"),
    (None, "'None' is not an instance of 'bytes'"),
]


@pytest.mark.parametrize("name", ["raw_values_report", "formula_surface_report", "formula_r1c1_report"])
@pytest.mark.parametrize("value, message", REFUSED_DATA)
@pytest.mark.parametrize("by_keyword", [False, True])
def test_data_must_be_bytes(mdn, name, value, message, by_keyword, raises_exactly):
    function = getattr(mdn, name)
    extra = {"mode": "a1"} if name == "formula_r1c1_report" else {}
    with raises_exactly(TypeError, message) as exc_info:
        if by_keyword:
            function(data=value, **extra)
        else:
            function(value, *extra.values())
    assert notes_of(exc_info) == ["while processing 'data'"]


@pytest.mark.parametrize("name", ["raw_values_report", "formula_surface_report", "formula_r1c1_report"])
def test_bytes_subclass_is_read(mdn, name, raises_exactly):
    data = build_xlsb([("Sheet1", [row(0), cell_real(0, 1.0)])])
    call = (lambda d: mdn.formula_r1c1_report(d, "a1")) if name == "formula_r1c1_report" else getattr(mdn, name)
    assert call(BytesSubclass(data)) == call(data)
    with raises_exactly(RuntimeError, CONTAINER_ERROR):
        call(BytesSubclass(b"not a zip"))


@pytest.mark.parametrize("mode, exc_type, message", [
    (1, TypeError, "'int' object is not an instance of 'str'"),
    (b"a1", TypeError, "'bytes' object is not an instance of 'str'"),
    (None, TypeError, "'None' is not an instance of 'str'"),
    ("\ud800", UnicodeEncodeError, None),
])
def test_mode_conversion_errors(mdn, mode, exc_type, message):
    with pytest.raises(exc_type) as exc_info:
        mdn.formula_r1c1_report(b"", mode)
    if message is not None:
        assert str(exc_info.value) == message
    assert notes_of(exc_info) == ["while processing 'mode'"]


def test_data_is_converted_before_mode(mdn, raises_exactly):
    with raises_exactly(TypeError, "'bytearray' object is not an instance of 'bytes'"):
        mdn.formula_r1c1_report(bytearray(), 5)


@pytest.mark.parametrize("mode", ["R1C1", "A1", "", " a1", "a1 ", "r1c1\0", "a1\n", "rc", StrSubclass("A1")])
@pytest.mark.parametrize("data", [b"", b"not a zip", build_xlsb([("Sheet1", [])])])
def test_mode_is_checked_before_the_bytes(mdn, mode, data, raises_exactly):
    with raises_exactly(RuntimeError, MODE_ERROR) as exc_info:
        mdn.formula_r1c1_report(data, mode)
    assert notes_of(exc_info) is None


@pytest.mark.parametrize("mode", ["a1", "r1c1", StrSubclass("a1")])
def test_valid_modes(mdn, mode):
    assert mdn.formula_r1c1_report(build_xlsb([("Sheet1", [])]), mode) == [("Sheet1", [], [], [], 0, [])]


# ---------------------------------------------------------------------------
# Conversion of `pairs`.

PAIR = ("=A1", "=A2", "=R1C1", "=R2C1")


class LenRaises:
    """A sequence whose len() fails; iteration alone must be enough."""

    def __init__(self, length_error=RuntimeError("no length")):
        self.length_error = length_error

    def __getitem__(self, i):
        return [PAIR][i]

    def __len__(self):
        raise self.length_error

    def __iter__(self):
        return iter([PAIR])


class HugeLen(LenRaises):
    """Reports a length no list can hold."""

    def __len__(self):
        return sys.maxsize


class IterRaises:
    def __init__(self, after):
        self.after = after

    def __getitem__(self, i):
        return PAIR

    def __len__(self):
        return 3

    def __iter__(self):
        yield from [PAIR] * self.after
        raise LookupError("iteration broke")


Quad = collections.namedtuple("Quad", "a b c d")


@pytest.mark.parametrize("pairs, exc_type, message", [
    ({}, TypeError, "'dict' object is not an instance of 'Sequence'"),
    ({"a": PAIR}, TypeError, "'dict' object is not an instance of 'Sequence'"),
    (set(), TypeError, "'set' object is not an instance of 'Sequence'"),
    (5, TypeError, "'int' object is not an instance of 'Sequence'"),
    (iter([PAIR]), TypeError, "'list_iterator' object is not an instance of 'Sequence'"),
    (None, TypeError, "'None' is not an instance of 'Sequence'"),
    ([("a", "b", "c")], ValueError, "expected tuple of length 4, but got tuple of length 3"),
    ([()], ValueError, "expected tuple of length 4, but got tuple of length 0"),
    ([PAIR, PAIR + ("e",)], ValueError, "expected tuple of length 4, but got tuple of length 5"),
    ([["a", "b", "c", "d"]], TypeError, "'list' object is not an instance of 'tuple'"),
    ([PAIR, None], TypeError, "'None' is not an instance of 'tuple'"),
    ([("a", "b", "c", 1)], TypeError, "'int' object is not an instance of 'str'"),
    ([(b"a", "b", "c", "d")], TypeError, "'bytes' object is not an instance of 'str'"),
    ([("a", None, "c", "d")], TypeError, "'None' is not an instance of 'str'"),
    (b"ab", TypeError, "'int' object is not an instance of 'tuple'"),
    (IterRaises(after=1), LookupError, "iteration broke"),
    (IterRaises(after=0), LookupError, "iteration broke"),
])
def test_pairs_refused(mdn, pairs, exc_type, message, raises_exactly):
    with raises_exactly(exc_type, message) as exc_info:
        mdn.formula_delta_batch(pairs)
    assert notes_of(exc_info) == ["while processing 'pairs'"]


@pytest.mark.parametrize("pairs", ["abcd", "", StrSubclass("abcd")])
def test_pairs_str_is_not_a_sequence_of_pairs(mdn, pairs):
    with pytest.raises(TypeError) as exc_info:
        mdn.formula_delta_batch(pairs)
    assert notes_of(exc_info) == ["while processing 'pairs'"]


@pytest.mark.parametrize("item", ["\ud800", "=A1\udfff"])
def test_pairs_lone_surrogate(mdn, item):
    with pytest.raises(UnicodeEncodeError) as exc_info:
        mdn.formula_delta_batch([PAIR, ("=A1", "=A1", "=R1C1", item)])
    assert notes_of(exc_info) == ["while processing 'pairs'"]


@pytest.mark.parametrize("pairs", [[], (), range(0)])
def test_empty_batch(mdn, pairs):
    result = mdn.formula_delta_batch(pairs)
    assert type(result) is list and result == []


@pytest.mark.parametrize("pairs", [
    [PAIR], (PAIR,), [Quad(*PAIR)], [tuple(StrSubclass(s) for s in PAIR)],
    LenRaises(), LenRaises(OverflowError()), HugeLen(),
])
def test_accepted_pairs_shapes(mdn, pairs):
    """Tuple and str subclasses are accepted; len() only sizes a reservation."""
    result = mdn.formula_delta_batch(pairs)
    assert type(result) is list and len(result) == 1
    assert result == mdn.formula_delta_batch([PAIR])


# ---------------------------------------------------------------------------
# The native object itself.


def test_internal_defect_type_is_private_and_outside_exception(mdn):
    found = [cls for cls in BaseException.__subclasses__()
             if cls.__module__.startswith("morvane_diff_native")]
    assert len(found) == 1
    for cls in found:
        assert cls.__bases__ == (BaseException,)
        assert not issubclass(cls, Exception)
        assert cls.__doc__
        assert cls not in vars(mdn).values()


def test_only_the_init_function_is_exported(mdn):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", mdn.__file__],
                             capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert symbols == ["PyInit_morvane_diff_native"]
