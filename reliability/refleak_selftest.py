"""Known cases for the reference-leak hunt itself (tests/test_refleak_plugin.py
runs them under a debug interpreter): two tests that leak, and tests that
must not be reported although they allocate, use fixtures of every scope or
warn."""

import ctypes
import warnings

import pytest

kept = []


@pytest.fixture(scope="session")
def session_resource():
    return {"session": [1, 2, 3]}


@pytest.fixture
def per_test(session_resource):
    # A function-scoped fixture on top of a session-scoped one: pytest keeps
    # a finaliser per use in the session fixture, which is not a leak.
    return [session_resource, object()]


def test_leaks_a_reference():
    ctypes.pythonapi.Py_IncRef(ctypes.py_object([object()]))


def test_keeps_growing():
    kept.append(object())


def test_allocates_and_frees():
    data = [object() for _ in range(100)]
    assert len({id(item) for item in data}) == 100


def test_fixture_chain(per_test, capsys):
    print("captured output")
    assert per_test[0]["session"] == [1, 2, 3]


def test_stray_warning():
    warnings.warn("a warning nobody catches", UserWarning)


@pytest.mark.refleak_exempt(reason="demonstrates the exemption")
def test_exempt():
    kept.append(object())
