"""Reference-leak hunting for pytest, in the style of CPython's `-R`.

Load it into a run of a debug interpreter (one with `sys.gettotalrefcount`):

    python3.14d -m pytest -p refleak_plugin --refleak-runs=3:3 tests

Every test item first runs WARMUPS + RUNS times through the whole test
protocol (setup, call and teardown of its function-scoped fixtures; fixtures
of wider scope stay set up, as between neighbouring tests). Around each of
those runs the plugin clears the interpreter's caches, collects garbage and
reads the total reference count and the number of allocated memory blocks.
The deltas of the warm-up runs are ignored: they pay for caches, interned
names, the module's traceback code-object cache and other one-time costs.
A test leaks when every one of the RUNS measured deltas of references, or
every one of memory blocks, is positive; a run-to-run jitter such as
[0, 1, 0] or [3, -3, 1] is not a leak (the rule CPython's regrtest uses).
Then the item runs once more through pytest's ordinary protocol, which
reports it; a leaking test is reported as failed with its deltas.

A test that cannot be repeated meaningfully in-process (one that runs a
tool in a subprocess, or one that by design makes objects that are never
freed) carries the marker `@pytest.mark.refleak_exempt(reason="...")`; such
a test is skipped in the hunt, and its reason, which is required, is listed
in the summary.
"""

from __future__ import annotations

import collections.abc
import copyreg
import gc
import inspect
import linecache
import re
import sys
import typing
import warnings

import pytest
from _pytest.runner import runtestprotocol

EXEMPT_MARKER = "refleak_exempt"


def pytest_addoption(parser):
    group = parser.getgroup("refleak", "reference-leak hunting (debug interpreters)")
    group.addoption(
        "--refleak-runs",
        default="3:3",
        metavar="WARMUPS:RUNS",
        help="runs per test before measuring and runs measured (default 3:3)",
    )
    group.addoption(
        "--refleak-report",
        default=None,
        metavar="FILE",
        help="also append one line per leaking test to FILE",
    )


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        f"{EXEMPT_MARKER}(reason): the test cannot be repeated in-process to hunt "
        "reference leaks; the reason says why",
    )
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError(
            "refleak_plugin needs a debug interpreter (sys.gettotalrefcount); "
            "use scripts/provision-python --debug"
        )
    warmups, runs = _parse_runs(config.getoption("--refleak-runs"))
    config.pluginmanager.register(
        RefleakHunter(warmups, runs, config.getoption("--refleak-report")), "refleak-hunter"
    )


def _parse_runs(text):
    try:
        warmups, runs = (int(part) for part in text.split(":"))
    except ValueError:
        raise pytest.UsageError(f"--refleak-runs expects WARMUPS:RUNS, got {text!r}") from None
    if warmups < 1 or runs < 2:
        raise pytest.UsageError("--refleak-runs needs at least 1 warm-up and 2 measured runs")
    return warmups, runs


class _ParentChain:
    """Stands for the next item when only the item's own fixtures are to be
    torn down: pytest tears down every node that the next item does not
    descend from, and this one descends from all of the item's parents."""

    def __init__(self, item):
        self._chain = item.listchain()[:-1]

    def listchain(self):
        return self._chain


class _Snapshot:
    """Saved global state that a test run may change and that the cleanup
    between runs puts back, so that it does not show up as a leak."""

    def __init__(self):
        self.copyreg_table = copyreg.dispatch_table.copy()
        self.path_importer_cache = sys.path_importer_cache.copy()
        self.linecache = linecache.cache.copy()
        self.abc_registries = {}
        for abc in _abstract_collection_classes():
            for cls in [abc, *abc.__subclasses__()]:
                self.abc_registries[cls] = _abc_registry(cls)

    def restore(self):
        copyreg.dispatch_table.clear()
        copyreg.dispatch_table.update(self.copyreg_table)
        sys.path_importer_cache.clear()
        sys.path_importer_cache.update(self.path_importer_cache)
        linecache.cache.clear()
        linecache.cache.update(self.linecache)
        for abc in _abstract_collection_classes():
            for cls in [abc, *abc.__subclasses__()]:
                saved = self.abc_registries.get(cls)
                if saved is not None:
                    cls._abc_registry_clear()
                    for ref in saved:
                        registered = ref()
                        if registered is not None:
                            cls.register(registered)
                cls._abc_caches_clear()
        re.purge()
        for cleanup in getattr(typing, "_cleanups", ()):
            cleanup()
        sys._clear_internal_caches()
        for _ in range(3):
            gc.collect()


def _fixture_definitions(item):
    """Every fixture definition pytest knows of in this session."""
    manager = item.session._fixturemanager
    return [definition for definitions in manager._arg2fixturedefs.values() for definition in definitions]


def _drop_stale_finalizers(definitions):
    """Removes finalizers that finished fixtures left with wider-scoped ones.

    A function-scoped fixture that uses a session- or module-scoped one
    registers its own `finish` with that fixture, so that it would be torn
    down first; after the test's teardown it is finished already, yet the
    entry (holding the whole fixture request) stays until the wider fixture
    ends. Every repetition would add one, which is pytest's bookkeeping, not
    a leak of the test.
    """
    for definition in definitions:
        if definition.cached_result is None:
            continue
        definition._finalizers[:] = [
            finalizer
            for finalizer in definition._finalizers
            if not _finishes_a_finished_fixture(finalizer)
        ]


def _finishes_a_finished_fixture(finalizer):
    function = getattr(finalizer, "func", None)
    owner = getattr(function, "__self__", None)
    return (
        getattr(function, "__name__", None) == "finish"
        and hasattr(owner, "cached_result")
        and owner.cached_result is None
    )


def _abstract_collection_classes():
    return [
        cls
        for cls in (getattr(collections.abc, name) for name in collections.abc.__all__)
        if inspect.isabstract(cls)
    ]


def _abc_registry(cls):
    from _abc import _get_dump

    return _get_dump(cls)[0]


class RefleakHunter:
    def __init__(self, warmups, runs, report_path):
        self.warmups = warmups
        self.runs = runs
        self.report_path = report_path
        self.measured = 0
        self.unmeasured = []  # (nodeid, why) for tests that failed or skipped before measuring
        self.exempt = []  # (nodeid, reason)
        self.leaks = {}  # nodeid -> message
        # Deltas are stored as these very int objects, so that recording a
        # delta allocates nothing inside the measured window.
        self._int_pool = {value: value for value in range(-1000, 1000)}

    def _pooled(self, value):
        return self._int_pool.setdefault(value, value)

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        marker = item.get_closest_marker(EXEMPT_MARKER)
        if marker is not None:
            reason = marker.kwargs.get("reason") or (marker.args[0] if marker.args else "")
            if not reason:
                raise pytest.UsageError(f"{item.nodeid}: {EXEMPT_MARKER} needs a reason")
            self.exempt.append((item.nodeid, reason))
            # Not run at all: such a test may not even work in a debug
            # interpreter (a tool with extensions built for release builds).
            item.add_marker(pytest.mark.skip(reason=f"{EXEMPT_MARKER}: {reason}"))
            return None
        self._hunt(item)
        # The default protocol runs next and reports the item.
        return None

    def _hunt(self, item):
        total = self.warmups + self.runs
        ref_deltas = [0] * total
        block_deltas = [0] * total
        parent_chain = _ParentChain(item)
        snapshot = _Snapshot()
        user_properties = len(item.user_properties)
        gettotalrefcount = sys.gettotalrefcount
        getallocatedblocks = sys.getallocatedblocks
        interned_immortal = sys.getunicodeinternedsize

        snapshot.restore()
        refs_before = gettotalrefcount()
        blocks_before = getallocatedblocks() - interned_immortal(_only_immortal=True)
        for index in range(total):
            # Warnings that escape the test are recorded here and dropped:
            # pytest's own recorder would keep every one of them.
            with warnings.catch_warnings(record=True):
                reports = runtestprotocol(item, log=False, nextitem=parent_chain)
            passed = all(report.passed for report in reports)
            outcome = next((r for r in reports if not r.passed), None)
            outcome_text = None if passed else f"{outcome.when} {outcome.outcome}"
            del reports, outcome
            item._report_sections.clear()
            del item.user_properties[user_properties:]
            _drop_stale_finalizers(_fixture_definitions(item))
            if not passed:
                self.unmeasured.append((item.nodeid, outcome_text))
                return
            snapshot.restore()
            # Strings interned for good (names, attribute keys) live until
            # shutdown; they are not leaks of the test.
            blocks_after = getallocatedblocks() - interned_immortal(_only_immortal=True)
            refs_after = gettotalrefcount()
            ref_deltas[index] = self._pooled(refs_after - refs_before)
            block_deltas[index] = self._pooled(blocks_after - blocks_before)
            refs_before = refs_after
            blocks_before = blocks_after

        self.measured += 1
        problems = []
        for deltas, what in ((ref_deltas, "references"), (block_deltas, "memory blocks")):
            measured = deltas[self.warmups :]
            if all(delta >= 1 for delta in measured):
                problems.append(f"leaked {measured} {what}, sum={sum(measured)}")
        if problems:
            message = f"{item.nodeid} " + "; ".join(problems)
            self.leaks[item.nodeid] = message
            if self.report_path:
                with open(self.report_path, "a", encoding="utf-8") as report:
                    print(message, file=report)

    @pytest.hookimpl(wrapper=True)
    def pytest_runtest_makereport(self, item, call):
        report = yield
        message = self.leaks.get(item.nodeid)
        if message is not None and report.when == "call" and report.passed:
            report.outcome = "failed"
            report.longrepr = f"reference leak: {message}"
        return report

    def pytest_terminal_summary(self, terminalreporter):
        write = terminalreporter.write_line
        terminalreporter.section("reference leaks")
        write(
            f"{self.measured} tests x {self.warmups + self.runs} repetitions "
            f"({self.warmups} warm-up, {self.runs} measured): {len(self.leaks)} leaking"
        )
        for message in self.leaks.values():
            write(f"LEAK {message}")
        for nodeid, reason in self.exempt:
            write(f"exempt {nodeid}: {reason}")
        for nodeid, why in self.unmeasured:
            write(f"not measured ({why}) {nodeid}")
