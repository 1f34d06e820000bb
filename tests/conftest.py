"""Shared fixtures: the module under test and the test-only extension."""

import gc
import os
import pathlib
import shutil
import sys
import sysconfig
import threading
import traceback

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def _testing_dir():
    if "TOVREN_TESTING_DIR" in os.environ:
        return pathlib.Path(os.environ["TOVREN_TESTING_DIR"])
    build_dir = pathlib.Path(os.environ.get("TOVREN_BUILD_DIR", ROOT / "build" / "default"))
    return build_dir / "testing"


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

# Interpreter options that make every warning an error, except the free-threaded
# interpreter's own notice that importing the module switched the GIL on.
WARNINGS_AS_ERRORS = ("-W", "error") + (
    ("-W", "ignore:The global interpreter lock (GIL) has been enabled:RuntimeWarning")
    if FREE_THREADED else ()
)

TESTING_DIR = _testing_dir()
# Run by the project's commands, the test-only extension must be there; a
# bare pytest run outside them may skip the tests that need it.
TESTING_REQUIRED = "TOVREN_TESTING_DIR" in os.environ or "TOVREN_BUILD_DIR" in os.environ
if TESTING_DIR.is_dir() and str(TESTING_DIR) not in sys.path:
    sys.path.append(str(TESTING_DIR))


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "refleak_exempt(reason): left out of the reference-leak hunt of `make refleak` "
        "(reliability/refleak_plugin.py); the reason says why",
    )


@pytest.fixture(scope="session")
def module():
    import tovren._libs.properties as properties

    return properties


@pytest.fixture(scope="session")
def testing():
    """The test-only extension that reaches internal routines."""
    if TESTING_REQUIRED:
        import _properties_testing

        return _properties_testing
    return pytest.importorskip("_properties_testing")


def debug_interpreter():
    """The debug interpreter (python3.14d) for the tests that need one.

    TOVREN_PYTHON_DEBUG names it (the Makefile sets it once `make refleak` or
    `scripts/provision-python --debug` has provisioned one); otherwise one
    next to the running interpreter is used. Without either the test skips,
    and on a free-threaded build or another version: the debug interpreter is
    a default build of 3.14, so the extension built for this one cannot load
    in it.
    """
    if FREE_THREADED:
        pytest.skip("no free-threaded debug interpreter: the provisioned python3.14d cannot load "
                    "an extension built for 3.14t")
    if sys.version_info[:2] != (3, 14):
        pytest.skip("the debug interpreter is python3.14d only, which cannot load an extension "
                    f"built for {sys.version_info[0]}.{sys.version_info[1]}")
    named = os.environ.get("TOVREN_PYTHON_DEBUG")
    if named:
        return named
    candidate = shutil.which("python3.14d", path=str(pathlib.Path(sys.executable).resolve().parent))
    if candidate is None:
        pytest.skip("no debug interpreter: `scripts/provision-python --debug` (or `make refleak`) "
                    "provisions one, which later test runs use")
    return candidate


def last_entry(exc):
    """(file, line, function) of the innermost traceback entry of `exc`."""
    frame = traceback.extract_tb(exc.__traceback__)[-1]
    return frame.filename, frame.lineno, frame.name


MODULE_FILES = ("tovren/_libs/properties", "<stringsource>")


def module_entries(exc):
    """(file, line, function) of every entry the module added, outermost first."""
    return [
        (frame.filename, frame.lineno, frame.name)
        for frame in traceback.extract_tb(exc.__traceback__)
        if frame.filename in MODULE_FILES
    ]


def module_entry(exc):
    """The innermost entry the module added; Python callbacks sit below it."""
    entries = module_entries(exc)
    assert entries, "the module added no traceback entry"
    return entries[-1]


def innermost_traceback(exc):
    tb = exc.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    return tb


def _reference_count(o):
    # A free-threaded build counts references to a heap type per thread and
    # defers those from the evaluation stack, so its count says little about
    # leaks; what does is the set of objects that still refer to the type
    # (instances among them).
    if FREE_THREADED and isinstance(o, type) and o.__flags__ & (1 << 9):  # Py_TPFLAGS_HEAPTYPE
        return len(gc.get_referrers(o))
    return sys.getrefcount(o)


def reference_counts_after(exercise, watched):
    """Runs `exercise` in a thread of its own, collects garbage and returns the
    reference counts of `watched` (for heap types on a free-threaded build, the
    number of objects referring to them)."""
    failure = []

    def run():
        try:
            exercise()
        except BaseException as exc:  # re-raised in the caller
            failure.append(exc)

    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
    if failure:
        raise failure[0]
    gc.collect()
    return [_reference_count(o) for o in watched]


def assert_no_reference_leaks(exercise, watched):
    """A second run of `exercise` leaves the reference counts of `watched` as
    the first run left them."""
    before = reference_counts_after(exercise, watched)
    assert reference_counts_after(exercise, watched) == before
