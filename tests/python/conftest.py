"""Shared fixtures for the module's Python tests.

The module is imported inside the fixtures rather than at the top, so the
writer's own tests (test_builder.py) run even where the module is not built.
"""

import contextlib
import re

import pytest

# The three workbook reports, each called with its non-data arguments fixed.
REPORT_CALLS = {
    "formula_r1c1_report": lambda mdn, data: mdn.formula_r1c1_report(data, "r1c1"),
    "raw_values_report": lambda mdn, data: mdn.raw_values_report(data),
    "formula_surface_report": lambda mdn, data: mdn.formula_surface_report(data),
}


@pytest.fixture(scope="session")
def mdn():
    import morvane_diff_native

    return morvane_diff_native


@pytest.fixture(params=list(REPORT_CALLS))
def report(request, mdn):
    """Each workbook report in turn, as a function of the workbook bytes."""
    call = REPORT_CALLS[request.param]
    return lambda data: call(mdn, data)



@contextlib.contextmanager
def _raises_exactly(exc_type, message):
    # pytest matches against the message and its notes together, so the exact
    # message is compared separately.
    with pytest.raises(exc_type, match=re.escape(message)) as exc_info:
        yield exc_info
    assert str(exc_info.value) == message


@pytest.fixture
def raises_exactly():
    """`with raises_exactly(TypeError, "msg"):` the exception and its exact message."""
    return _raises_exactly
