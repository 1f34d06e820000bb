"""Module constants: the compressed table, the code objects, immortal constants."""

import bz2
import dis
import functools
import io
import inspect
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import types
import zlib

import pytest

import tovren
from conftest import ROOT, TESTING_DIR, debug_interpreter

# Where the package under test was imported from: the source tree, or the
# site-packages of the environment that a wheel was installed into.
PACKAGE_ROOT = pathlib.Path(tovren.__file__).resolve().parent.parent

MODULE = "tovren._libs.properties"
FRAME_DIR = ROOT / "tovren" / "_libs" / "properties" / "frame"
GENERATOR = FRAME_DIR / "generate_constants.py"
TABLE = FRAME_DIR / "constant_table.h"
AXIS_CHECKSUM, CACHED_CHECKSUM = 221138483, 251159129


# Passed on to the fresh interpreters: under `make asan` the extensions are
# instrumented and load only with the sanitizer runtime preloaded.
SANITIZER_ENV = ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def run_python(code, *, executable=sys.executable, cwd=None):
    """Runs `code` in a fresh interpreter; the module initialises once per process."""
    env = {"PYTHONPATH": f"{PACKAGE_ROOT}:{TESTING_DIR}", "PATH": "/usr/bin:/bin"}
    env.update((name, os.environ[name]) for name in SANITIZER_ENV if name in os.environ)
    return subprocess.run(
        [executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=cwd,
        env=env,
    )


# ---- code objects ---------------------------------------------------------------------

SELF_LOCALS = ("self", "state", "_dict", "use_setstate")
RECONSTRUCTOR_LOCALS = ("__pyx_type", "__pyx_checksum", "__pyx_state", "__pyx_result")
REDUCE_LINES = [1, 5, 6, 7, 8, 9, 11, 12, 13, 15]
RECONSTRUCTOR_LINES = [4, 6, 7, 8, 9, 10]

# (where the function object lives, co_name, argcount, locals, first line,
#  lines of co_lines(), code units described, co_code bytes, co_linetable bytes)
CODE_OBJECTS = [
    (("CachedProperty", "__reduce_cython__"), "__reduce_cython__", 1, SELF_LOCALS, 1,
     REDUCE_LINES, 56, 260, 128),
    (("CachedProperty", "__setstate_cython__"), "__setstate_cython__", 2, ("self", "__pyx_state"),
     16, [16, 17], 5, 24, 11),
    (("AxisProperty", "__reduce_cython__"), "__reduce_cython__", 1, SELF_LOCALS, 1,
     REDUCE_LINES, 44, 204, 101),
    (("AxisProperty", "__setstate_cython__"), "__setstate_cython__", 2, ("self", "__pyx_state"),
     16, [16, 17], 5, 24, 11),
    (("__pyx_unpickle_CachedProperty",), "__pyx_unpickle_CachedProperty", 3, RECONSTRUCTOR_LOCALS,
     4, RECONSTRUCTOR_LINES, 24, 116, 57),
    (("__pyx_unpickle_AxisProperty",), "__pyx_unpickle_AxisProperty", 3, RECONSTRUCTOR_LOCALS,
     4, RECONSTRUCTOR_LINES, 24, 112, 55),
]
CODE_IDS = [".".join(row[0]) for row in CODE_OBJECTS]


def public_code(module, path):
    target = module
    for name in path:
        target = getattr(target, name)
    return target.__code__


@pytest.fixture(params=["module", "testing"])
def code_objects(request, module, testing):
    """The six code objects as the module's function objects carry them, and as
    the test-only extension (same sources, own state) builds them."""
    if request.param == "testing":
        return testing.code_objects()
    return tuple(public_code(module, row[0]) for row in CODE_OBJECTS)


@pytest.mark.parametrize("index", range(6), ids=CODE_IDS)
def test_code_object_attributes(code_objects, index):
    _, name, argcount, local_names, first_line, _, _, code_bytes, table_bytes = CODE_OBJECTS[index]
    code = code_objects[index]
    assert type(code) is types.CodeType
    assert (code.co_name, code.co_qualname) == (name, name)
    assert code.co_argcount == argcount
    assert code.co_varnames == local_names and code.co_nlocals == len(local_names)
    assert code.co_firstlineno == first_line
    assert code.co_filename == "<stringsource>"
    assert (code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0)
    # Made with stack size 0, which the interpreter raises to its minimum of 1.
    assert code.co_stacksize == 1
    assert code.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()
    assert code.co_exceptiontable == b""
    assert (len(code.co_code), len(code.co_linetable)) == (code_bytes, table_bytes)


@pytest.mark.parametrize("index", range(6), ids=CODE_IDS)
def test_code_object_lines(code_objects, index):
    _, _, _, _, first_line, lines, units, _, _ = CODE_OBJECTS[index]
    code = code_objects[index]
    assert [line for _, _, line in code.co_lines()] == lines
    positions = list(code.co_positions())
    # One location entry per code unit, on one line each.
    assert len(positions) == units
    assert positions[0][0] == first_line
    assert all(start == end and start in lines for start, end, _, _ in positions)
    assert all(0 <= begin <= finish for _, _, begin, finish in positions)


def test_code_object_names_shared_by_identity(code_objects):
    reduce_cp, setstate_cp, reduce_ap, setstate_ap, unpickle_cp, unpickle_ap = code_objects
    assert reduce_cp.co_name is reduce_ap.co_name is sys.intern("__reduce_cython__")
    assert setstate_cp.co_name is setstate_ap.co_name
    assert unpickle_cp.co_name is sys.intern("__pyx_unpickle_CachedProperty")
    assert len({id(code.co_filename) for code in code_objects}) == 1
    assert reduce_cp.co_varnames[0] is setstate_ap.co_varnames[0] is sys.intern("self")
    assert setstate_cp.co_varnames[1] is unpickle_ap.co_varnames[2] is sys.intern("__pyx_state")


def test_setstate_line_table_bytes(code_objects):
    # The location entries of code object 2, as the interpreter's format encodes them.
    assert code_objects[1].co_linetable == bytes.fromhex("8001D8042CA841A856B031")
    assert code_objects[3].co_linetable == bytes.fromhex("8001D8042AA821A836B011")


def test_public_code_objects_are_the_module_state_ones(module):
    codes = [public_code(module, row[0]) for row in CODE_OBJECTS]
    assert len({id(code) for code in codes}) == 6
    # Read again through another path: the same objects, not copies.
    assert module.CachedProperty.__dict__["__reduce_cython__"].__code__ is codes[0]
    assert vars(module)["__pyx_unpickle_AxisProperty"].__code__ is codes[5]


@pytest.mark.parametrize("index", range(6), ids=CODE_IDS)
def test_introspection_fails_cleanly(code_objects, index):
    code = code_objects[index]
    out = io.StringIO()
    dis.dis(code, file=out)
    listing = out.getvalue()
    assert str(code.co_firstlineno) in listing and "RESUME" in listing
    instructions = list(dis.get_instructions(code))
    names = [instruction.opname for instruction in instructions]
    assert names == ["RESUME", "RAISE_VARARGS"] + ["NOP"] * (len(names) - 2)
    # Every code unit is an instruction or one of its inline cache entries, as
    # the running interpreter lays them out (RESUME has one entry in 3.15, none
    # in 3.14): no instruction starts inside another's cache.
    offset = 0
    for instruction in instructions:
        assert instruction.offset == offset, (instruction, offset)
        offset += 2 + 2 * sum(size for _, size, _ in instruction.cache_info or ())
    assert offset == len(code.co_code)
    with pytest.raises((OSError, TypeError)):
        inspect.getsource(code)
    with pytest.raises((OSError, TypeError)):
        inspect.getsourcelines(types.FunctionType(code, {}))
    function = types.FunctionType(code, {})
    assert list(inspect.signature(function).parameters) == list(code.co_varnames[: code.co_argcount])


def test_function_built_from_a_code_object_raises_instead_of_running():
    # Zero bytecode would be CACHE units, whose execution is a fatal error of
    # the interpreter. Run in a subprocess so that a regression cannot take
    # the test run down with it.
    result = run_python(
        """
        import inspect, json, sys, traceback, types
        import _properties_testing as testing
        report = []
        for code in testing.code_objects():
            function = types.FunctionType(code, {})
            try:
                function(*range(code.co_argcount))
            except RuntimeError as error:
                entry = traceback.extract_tb(error.__traceback__)[-1]
                text = "".join(traceback.format_exception(error))
                info = inspect.getframeinfo(error.__traceback__.tb_next)
                assert (info.filename, info.function, info.code_context) == (
                    entry.filename, entry.name, None)
                report.append([str(error), entry.filename, entry.lineno, entry.name, text])
        print(json.dumps(report))
        """
    )
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert len(report) == 6
    second_unit_lines = [5, 17, 5, 17, 6, 6]
    for (message, filename, line, name, text), row, expected_line in zip(
        report, CODE_OBJECTS, second_unit_lines
    ):
        assert message == "No active exception to reraise"
        assert (filename, line, name) == ("<stringsource>", expected_line, row[1])
        assert f'File "<stringsource>", line {expected_line}, in {row[1]}' in text


# ---- constant slots ------------------------------------------------------------------------


def test_slot_kinds_by_position(testing):
    strings, line_tables, integers = testing.constant_slots()
    plain_count, interned_count, table_count = testing.constant_counts()
    assert len(strings) == plain_count + interned_count and len(line_tables) == table_count == 6
    plain_rows, interned_rows, _ = testing.table_rows()
    assert strings == tuple(text for _, text in plain_rows + interned_rows)
    assert all(type(text) is str for text in strings)
    for text in strings[plain_count:]:
        assert sys.intern("".join(list(text))) is text, text
    for text in strings[:plain_count]:
        if len(text) > 1:  # shorter ones are the interpreter's singletons
            assert sys.intern("".join(list(text))) is not text, text
    assert all(type(table) is bytes for table in line_tables)
    assert integers == (0, AXIS_CHECKSUM, CACHED_CHECKSUM)
    assert all(type(value) is int for value in integers)


def test_known_constants_have_their_kind(testing):
    strings, _, _ = testing.constant_slots()
    plain_count, _, _ = testing.constant_counts()
    plain, interned = strings[:plain_count], strings[plain_count:]
    assert {"", "Can't set attribute", "<stringsource>"} <= set(plain)
    assert {MODULE, "_cache", "__pyx_state", "use_setstate", "AxisProperty.__reduce_cython__"} <= set(
        interned
    )


def test_line_tables_and_checksums_are_immortal(testing):
    _, line_tables, integers = testing.constant_slots()
    assert all(sys._is_immortal(table) for table in line_tables)
    assert all(sys._is_immortal(value) for value in integers)


def test_code_objects_use_the_line_table_slots(testing):
    _, line_tables, _ = testing.constant_slots()
    for code, table in zip(testing.code_objects(), line_tables):
        assert code.co_linetable == table


def find_ints(value, wanted):
    if type(value) is int and value == wanted:
        yield value
    elif isinstance(value, tuple):
        for item in value:
            yield from find_ints(item, wanted)


@pytest.mark.parametrize(
    "make, checksum",
    [
        (lambda m: m.CachedProperty(lambda self: None), CACHED_CHECKSUM),
        (lambda m: m.AxisProperty(1, "doc"), AXIS_CHECKSUM),
    ],
    ids=["CachedProperty", "AxisProperty"],
)
def test_checksums_in_reduce_results_are_immortal(module, make, checksum):
    reduced = make(module).__reduce_cython__()
    found = list(find_ints(reduced, checksum))
    assert found, reduced
    assert all(sys._is_immortal(value) for value in found)
    assert len({id(value) for value in found}) == 1
    again = list(find_ints(make(module).__reduce_cython__(), checksum))
    assert again[0] is found[0]


def test_cache_attribute_name_is_one_shared_object(module):
    class Owner:
        @module.CachedProperty
        def value(self):
            return 1

    first, second = Owner(), Owner()
    assert first.value == second.value == 1
    key_first = next(key for key in vars(first) if key == "_cache")
    key_second = next(key for key in vars(second) if key == "_cache")
    assert key_first is key_second is sys.intern("_cache")


def test_axis_property_defaults_are_the_constants(module):
    assert module.AxisProperty().__doc__ is module.AxisProperty(doc="").__doc__ == ""
    assert module.AxisProperty().axis is module.AxisProperty(0).axis == 0


# ---- rebuilding ----------------------------------------------------------------------------


def test_rebuild_replaces_slots_and_keeps_immortal_ones(testing):
    strings, line_tables, integers = testing.constant_slots()
    plain_count, _, _ = testing.constant_counts()
    codes = testing.code_objects()
    testing.rebuild_constants()
    new_strings, new_line_tables, new_integers = testing.constant_slots()
    new_codes = testing.code_objects()
    assert new_strings == strings
    # Interned names come back as the same objects; immortal constants are
    # kept rather than leaked; the code objects are made anew.
    assert all(new is old for new, old in zip(new_strings[plain_count:], strings[plain_count:]))
    assert all(new is old for new, old in zip(new_line_tables, line_tables))
    assert all(new is old for new, old in zip(new_integers, integers))
    assert all(new is not old and new == old for new, old in zip(new_codes, codes))
    assert [code.co_linetable for code in new_codes] == list(line_tables)


def test_repeated_rebuilds_do_not_grow_memory():
    # Each rebuild that leaked its immortal constants would keep about 600
    # bytes; 1000 rebuilds would keep about 600 KB. The first thousand, traced,
    # settle the allocator (a free-threaded build keeps about 90 KB of pages
    # and deferred frees once); the second thousand must keep next to nothing.
    result = run_python(
        """
        import gc, tracemalloc
        import _properties_testing as testing
        for _ in range(50):
            testing.rebuild_constants()
        tracemalloc.start()
        for _ in range(1000):
            testing.rebuild_constants()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(1000):
            testing.rebuild_constants()
        gc.collect()
        print(tracemalloc.get_traced_memory()[0] - before)
        """
    )
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 16 * 1024


def test_repeated_imports_do_not_grow_memory():
    result = run_python(
        f"""
        import gc, importlib, sys, tracemalloc
        first = importlib.import_module("{MODULE}")
        for _ in range(20):
            del sys.modules["{MODULE}"]
            assert importlib.import_module("{MODULE}") is first
        tracemalloc.start()
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(500):
            del sys.modules["{MODULE}"]
            assert importlib.import_module("{MODULE}") is first
        gc.collect()
        print(tracemalloc.get_traced_memory()[0] - before)
        """
    )
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) < 64 * 1024


# ---- decompressing -------------------------------------------------------------------------

PAYLOAD = b"constant table " * 40


def compressed(algorithm):
    if algorithm == 2:
        return bz2.compress(PAYLOAD)
    if algorithm == 3:
        zstd = pytest.importorskip("compression.zstd")
        return zstd.compress(PAYLOAD)
    return zlib.compress(PAYLOAD, 9)


@pytest.mark.parametrize("algorithm", [1, 2, 3, 0, 7, -1])
def test_decompress_block_selects_the_decompressor(testing, algorithm):
    assert testing.decompress_block(compressed(algorithm), algorithm) == PAYLOAD


@pytest.mark.parametrize(
    "algorithm, module_name",
    [(1, "zlib"), (2, "bz2"), (3, "compression.zstd"), (9, "zlib")],
)
def test_missing_decompressor_raises_import_error(testing, monkeypatch, algorithm, module_name):
    monkeypatch.setitem(sys.modules, module_name, None)
    with pytest.raises(ImportError) as caught:
        testing.decompress_block(b"", algorithm)
    assert str(caught.value) == (
        f"Failed to import '{module_name}.decompress' - cannot initialise module strings. "
        f"String compression was configured with algorithm number {algorithm}."
    )
    assert type(caught.value) is ImportError
    # It replaces the import's own exception, which is chained in no way.
    assert (caught.value.__cause__, caught.value.__context__) == (None, None)


def test_decompressor_without_decompress_attribute(testing, monkeypatch):
    monkeypatch.setitem(sys.modules, "bz2", types.ModuleType("bz2"))
    with pytest.raises(ImportError, match=r"^Failed to import 'bz2\.decompress'") as caught:
        testing.decompress_block(b"", 2)
    assert (caught.value.__cause__, caught.value.__context__) == (None, None)


def test_block_reaches_the_decompressor_as_a_read_only_view(testing, monkeypatch):
    seen = []

    def decompress(data):
        seen.append((type(data), data.readonly, data.obj, bytes(data)))
        return b"inflated"

    fake = types.ModuleType("zlib")
    fake.decompress = decompress
    monkeypatch.setitem(sys.modules, "zlib", fake)
    assert testing.decompress_block(b"stored bytes", 1) == b"inflated"
    # A view on raw memory (no exporting object): the bytes were not copied
    # into a new object on the way.
    assert seen == [(memoryview, True, None, b"stored bytes")]


def test_decompressor_error_propagates(testing):
    with pytest.raises(zlib.error):
        testing.decompress_block(b"\x78\xda not a zlib stream", 1)


# ---- building a table ----------------------------------------------------------------------


def stored_table(entries):
    return zlib.compress(b"".join(entries), 9), bytes(len(entry) for entry in entries)


@pytest.fixture
def good_entries(testing):
    strings, line_tables, _ = testing.constant_slots()
    return [text.encode() for text in strings] + list(line_tables)


# A successful build makes its line tables and checksum integers immortal, as
# start-up does, so each build keeps them for the rest of the process.
IMMORTAL_PER_BUILD = pytest.mark.refleak_exempt(
    reason="every successful table build makes objects immortal on purpose"
)


@IMMORTAL_PER_BUILD
def test_build_table_from_the_compiled_block(testing):
    block, lengths, algorithm = testing.compiled_table()
    assert algorithm == 1 and block[:2] == b"\x78\xda"
    assert testing.build_table(block, lengths, algorithm) == testing.constant_slots()


@IMMORTAL_PER_BUILD
def test_build_table_from_another_block(testing, good_entries):
    entries = list(good_entries)
    entries[1] = "Größe".encode()
    built = testing.build_table(*stored_table(entries), 1)
    assert built[0][1] == "Größe" and built[0][2:] == testing.constant_slots()[0][2:]


def corrupt_tables(entries):
    block, lengths = stored_table(entries)
    plain_count = 3
    invalid_utf8 = list(entries)
    invalid_utf8[plain_count + 1] = b"\xff\xfe"
    return {
        "truncated block": ((block[:-6], lengths, 1), zlib.error, "Error -5"),
        "lengths beyond the data": (
            (block, lengths[:-1] + bytes([lengths[-1] + 1]), 1),
            ValueError,
            r"^cannot initialise module strings: the block inflates to \d+ bytes, its length table to \d+$",
        ),
        "data beyond the lengths": (
            (zlib.compress(b"".join(entries) + b"extra"), lengths, 1),
            ValueError,
            "length table",
        ),
        "invalid UTF-8": ((*stored_table(invalid_utf8), 1), UnicodeDecodeError, "utf-8"),
        "entry count": ((block, lengths + b"\x00", 1), SystemError, "slots"),
    }


@pytest.mark.parametrize(
    "case",
    ["truncated block", "lengths beyond the data", "data beyond the lengths", "invalid UTF-8", "entry count"],
)
def test_build_table_rejects_corrupt_input(testing, good_entries, case):
    arguments, error, message = corrupt_tables(good_entries)[case]
    with pytest.raises(error, match=message) as caught:
        testing.build_table(*arguments)
    strings, line_tables, integers = caught.value.partial_slots
    if case == "invalid UTF-8":
        # Entries before the bad one were made and keep their slots.
        assert strings[:4] == testing.constant_slots()[0][:4] and strings[4] is None
    else:
        assert set(strings) == {None}
    assert set(line_tables) == set(integers) == {None}


def test_decompress_returning_non_bytes_is_refused(testing, monkeypatch, good_entries):
    fake = types.ModuleType("zlib")
    fake.decompress = lambda data: bytearray(b"".join(good_entries))
    monkeypatch.setitem(sys.modules, "zlib", fake)
    with pytest.raises(TypeError, match="returned bytearray, not bytes"):
        testing.build_table(*stored_table(good_entries), 1)


# ---- start-up ------------------------------------------------------------------------------


def test_import_without_zlib_fails_with_the_module_message():
    result = run_python(
        f"""
        import json, sys, traceback
        sys.modules["zlib"] = None
        try:
            import {MODULE}
        except ImportError as error:
            print(type(error).__name__)
            print(error)
            print(error.__cause__, error.__context__, error.__suppress_context__)
            print([entry.filename for entry in traceback.extract_tb(error.__traceback__)])
            print(json.dumps("".join(traceback.format_exception(error))))
        """
    )
    assert result.returncode == 0, result.stderr
    kind, message, chained, files, printed = result.stdout.splitlines()
    assert kind == "ImportError"
    assert message == (
        "Failed to import 'zlib.decompress' - cannot initialise module strings. "
        "String compression was configured with algorithm number 1."
    )
    # The import's ModuleNotFoundError is replaced, not chained: the printed
    # traceback shows the one exception.
    assert chained == "None None False"
    printed = json.loads(printed)
    assert "ModuleNotFoundError" not in printed and printed.count("Traceback") == 1
    # Start-up adds no traceback entry before the constants exist.
    assert "tovren/_libs/properties" not in files and "<stringsource>" not in files


def test_import_succeeds_after_zlib_returns():
    result = run_python(
        f"""
        import sys
        saved = sys.modules.pop("zlib", None)
        sys.modules["zlib"] = None
        try:
            import {MODULE}
        except ImportError:
            pass
        if saved is None:
            del sys.modules["zlib"]
        else:
            sys.modules["zlib"] = saved
        import {MODULE} as module
        code = module.CachedProperty.__reduce_cython__.__code__
        print(code.co_varnames, sys._is_immortal(code.co_linetable))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "('self', 'state', '_dict', 'use_setstate') True"


def test_failed_start_up_rebuilds_constants_and_code_objects():
    # A start-up step after the constants fails (the builtin `type` cannot be
    # read); the next import runs every step again.
    result = run_python(
        f"""
        import gc, sys, tracemalloc, types
        real = sys.modules["builtins"]

        def failing_import():
            sys.modules["builtins"] = types.ModuleType("builtins")
            try:
                import {MODULE}
            except AttributeError:
                pass
            else:
                raise SystemExit("the import did not fail")
            finally:
                sys.modules["builtins"] = real

        for _ in range(10):
            failing_import()
        import {MODULE} as module
        code = module.CachedProperty.__reduce_cython__.__code__
        print(code.co_name, [line for _, _, line in code.co_lines()][:3],
              sys._is_immortal(code.co_linetable))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "__reduce_cython__ [1, 5, 6] True"


def run_under_debug_interpreter(tmp_path, code):
    """Runs `code` in the debug interpreter with the test-only extension (ABI
    compatible) importable as `_properties_testing`."""
    python_debug = debug_interpreter()
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    built = TESTING_DIR / f"_properties_testing{suffix}"
    assert built.is_file(), built
    shutil.copy(built, tmp_path / "_properties_testing.so")
    return subprocess.run(
        [python_debug, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=tmp_path,
        # The copy is found through PYTHONPATH: with PYTHONSAFEPATH (set by
        # `make test-wheel`) the working folder is not on sys.path.
        env={**os.environ, "PYTHONPATH": str(tmp_path)},
    )


def test_immortal_constants_survive_a_debug_interpreter(tmp_path):
    # A Py_REF_DEBUG interpreter takes a reference count near UINT32_MAX for a
    # freed object and aborts on the first decref. Let the interpreter drop
    # references to the constants.
    result = run_under_debug_interpreter(
        tmp_path,
        """
        import sys, _properties_testing as testing
        for _ in range(3):
            _, line_tables, integers = testing.constant_slots()
            held = [*line_tables, *integers] * 100
            del held, line_tables, integers
        print(all(sys._is_immortal(x) for x in testing.constant_slots()[1]))
        """,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True"


@pytest.mark.parametrize("interpreter", ["running", "debug"])
def test_code_objects_survive_instrumentation(tmp_path, interpreter):
    # Every code unit must belong to an instruction: the debug interpreter
    # asserts so whenever it instruments a code object, which local monitoring
    # events do at once, and tracing, profiling and global monitoring do when
    # a function made from the code object is called. A release interpreter
    # crashes instead once a unit meant as an instruction is read as cache.
    run = run_python if interpreter == "running" else functools.partial(run_under_debug_interpreter, tmp_path)
    result = run(
        """
        import json, sys, types, _properties_testing as testing
        mon, E = sys.monitoring, sys.monitoring.events
        codes = testing.code_objects()
        events = []

        def call(code):
            try:
                types.FunctionType(code, {})(*range(code.co_argcount))
            except RuntimeError as error:
                return str(error)
            return "returned"

        def tracer(frame, event, arg):
            if frame.f_code in codes:
                events.append([event, frame.f_lineno])
            return tracer

        def on_line(code, line):
            if code in codes:
                events.append(["line", line])

        def run(mode):
            events.clear()
            results = [call(code) for code in codes]
            return [mode, results, sorted({line for event, line in events if event == "line"})]

        tool = mon.PROFILER_ID
        mon.use_tool_id(tool, "probe")
        mon.register_callback(tool, E.LINE, on_line)
        local = E.LINE | E.INSTRUCTION | E.PY_START | E.PY_RETURN | E.JUMP | E.BRANCH_LEFT
        for code in codes:
            mon.set_local_events(tool, code, local)
        report = [run("local monitoring")]
        for code in codes:
            mon.set_local_events(tool, code, 0)
        mon.set_events(tool, E.LINE | E.INSTRUCTION | E.PY_START | E.RAISE | E.PY_UNWIND)
        report.append(run("global monitoring"))
        mon.set_events(tool, 0)
        mon.free_tool_id(tool)
        sys.settrace(tracer)
        report.append(run("trace"))
        sys.settrace(None)
        sys.setprofile(tracer)
        report.append(run("profile"))
        sys.setprofile(None)
        print(json.dumps(report))
        """,
    )
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert [mode for mode, _, _ in report] == [
        "local monitoring", "global monitoring", "trace", "profile"]
    for mode, results, lines in report:
        assert results == ["No active exception to reraise"] * 6, mode
        # The raise is the second code unit, on line 5, 6 or 17 of its table;
        # the NOPs after it never run.
        assert lines == ([] if mode == "profile" else [5, 6, 17]), mode


# ---- the generator -------------------------------------------------------------------------


def generate(tmp_path, table=TABLE):
    output = tmp_path / "constant_block.cpp"
    result = subprocess.run(
        [sys.executable, str(GENERATOR), "--table", str(table), "--output", str(output)],
        capture_output=True,
        text=True,
        timeout=60,
    )
    return result, output


def c_array(source, name):
    body = re.search(name + r"\[\] = \{(.*?)\};", source, re.S).group(1)
    return bytes(int(item, 0) for item in body.replace("\n", " ").split(",") if item.strip())


def decode_units(first_line, table, unit_count):
    """Line and columns of each code unit, as the interpreter reads `table`."""

    def template():
        pass

    code = template.__code__.replace(
        co_firstlineno=first_line, co_linetable=table, co_code=bytes(2 * unit_count)
    )
    return [(line, start, end) for line, _, start, end in code.co_positions()]


def test_generated_block_matches_the_table(tmp_path, testing):
    result, output = generate(tmp_path)
    assert result.returncode == 0, result.stderr
    source = output.read_text()
    block, lengths = c_array(source, "kStoredBlock"), c_array(source, "kEntryLengths")
    assert block[:2] == b"\x78\xda"  # RFC 1950, best compression
    inflated = zlib.decompress(block)
    assert sum(lengths) == len(inflated)
    assert all(length < 256 for length in lengths)

    plain_rows, interned_rows, line_table_rows = testing.table_rows()
    texts = [text for _, text in plain_rows + interned_rows]
    assert len(lengths) == len(texts) + len(line_table_rows)
    offset, entries = 0, []
    for length in lengths:
        entries.append(inflated[offset : offset + length])
        offset += length
    assert [entry.decode("utf-8") for entry in entries[: len(texts)]] == texts
    for (identifier, first_line, units), table in zip(line_table_rows, entries[len(texts) :]):
        expected = [tuple(map(int, re.split("[:-]", unit))) for unit in units.split()]
        assert decode_units(first_line, table, len(expected)) == expected, identifier
    # The build compiled the same block into the module.
    assert testing.compiled_table()[:2] == (block, lengths)


@pytest.mark.parametrize(
    "old, new, message",
    [
        ('X(cache, "_cache")', 'X(cache, "_ca\\tche")', "malformed"),
        ('X(cache, "_cache")', 'X(cache, "' + "x" * 256 + '")', "above 255"),
        ('X(cache, "_cache")', 'X(axes, "_cache")', "identifiers used twice: axes"),
        ('"16:0-1 17:4-44', '"17:0-1 17:4-44', "first code unit must lie on line 16"),
        ('"16:0-1 17:4-44', '"16:0-1 17:44-4', "ends before it starts"),
        ('"16:0-1 17:4-44', '"16:0 17:4-44', "is not line:start-end"),
    ],
    ids=["escape", "too long", "duplicate", "first line", "reversed columns", "bad unit"],
)
def test_generator_refuses_a_malformed_table(tmp_path, old, new, message):
    source = TABLE.read_text()
    assert source.count(old) == 1
    table = tmp_path / "constant_table.h"
    table.write_text(source.replace(old, new))
    result, output = generate(tmp_path, table)
    assert result.returncode == 1
    assert message in result.stderr
    assert not output.exists()
