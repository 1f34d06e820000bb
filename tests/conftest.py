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

# Set by the steps that run the suite on another architecture under qemu-user
# (mk/architectures.mk): the Debian name of that architecture.
EMULATED = os.environ.get("TOVREN_EMULATED", "")

if EMULATED:
    # Emulation runs the interpreter 5 to 20 times slower: fewer examples per
    # property, and no per-example deadline (a timing, not a fault).
    from hypothesis import settings

    settings.register_profile("emulated", max_examples=25, deadline=None)
    settings.load_profile("emulated")

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
    if EMULATED:
        pytest.skip(f"the debug interpreter is this machine's own, which cannot load the module built for {EMULATED}")
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


# The bias that a free-threaded build adds to the count of an object with
# deferred reference counting (`_Py_REF_DEFERRED`, PY_SSIZE_T_MAX / 8).
_DEFERRED_BIAS = sys.maxsize // 8


def reference_counts(objects):
    """The reference counts of `objects`, comparable between two calls made at
    the same point of a test: what a leak changes, and nothing else.

    A free-threaded build defers the counting of many objects (module-level
    functions and methods, types, a descriptor that a second thread has read):
    their count carries a fixed bias and leaves out the references held on
    evaluation stacks, including those of the code that reads the counts,
    whose references turn from counted to deferred as the interpreter
    specializes that code. A heap type's count leaves out the references
    that each thread's instances took and dropped, until a collection adds
    them in; a collection does so before it frees anything, so it is
    repeated until one frees nothing. Then the counts are read from C,
    through `map` (no frame holds the objects meanwhile), with the bias
    taken off.
    An immortal object is refused: its count never changes, so a test that
    watched it could not fail.
    """
    objects = tuple(objects)
    immortal = [o for o in objects if sys._is_immortal(o)]
    assert not immortal, f"immortal objects cannot show a leak: {immortal!r}"
    # Bounded: a finaliser could make garbage at every collection.
    for _ in range(10):
        if gc.collect() == 0:
            break
    return [count - _DEFERRED_BIAS if count >= _DEFERRED_BIAS else count
            for count in map(sys.getrefcount, objects)]


def made_at_run_time(value):
    """An int or str equal to `value`, made now: the constants of code are
    immortal on a free-threaded build, and an immortal count shows no leak."""
    return int(str(value)) if isinstance(value, int) else "".join(list(value))


def run_in_thread(function):
    """Runs `function` in a thread of its own and re-raises its exception."""
    failure = []

    def run():
        try:
            function()
        except BaseException as exc:  # re-raised in the caller
            failure.append(exc)

    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
    if failure:
        raise failure[0]


def assert_no_reference_leaks(exercise, watched):
    """A second run of `exercise`, in a fresh thread as the first, leaves the
    reference counts of `watched` exactly as the first run left them (which
    pays for one-time costs: caches, specialization, deferred counting of
    what the thread shared)."""
    watched = tuple(watched)
    run_in_thread(exercise)
    before = reference_counts(watched)
    run_in_thread(exercise)
    after = reference_counts(watched)
    changed = [f"{o!r}: {b} -> {a}" for o, b, a in zip(watched, before, after) if a != b]
    assert not changed, "reference counts changed: " + "; ".join(changed)
