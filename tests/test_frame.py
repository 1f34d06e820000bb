"""Module frame: start-up, the module namespace, and traceback entries."""

import inspect
import os
import pathlib
import pydoc
import re
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import types
import typing

import pytest

from conftest import EMULATED, FREE_THREADED, WARNINGS_AS_ERRORS, innermost_traceback, module_entries, module_entry

SOURCE = "tovren/_libs/properties"
MODULE = "tovren._libs.properties"


def run_python(code, *options, env=None):
    """Runs `code` in a fresh interpreter; the module initialises once per process."""
    return subprocess.run(
        [sys.executable, *options, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    )


def test_namespace_is_exactly_the_documented_one(module):
    expected = {
        "__name__", "__doc__", "__spec__", "__loader__", "__file__", "__package__",
        "__builtins__", "CachedProperty", "AxisProperty", "cache_readonly",
        "__pyx_unpickle_CachedProperty", "__pyx_unpickle_AxisProperty", "__test__",
    }
    assert set(vars(module)) == expected


def test_namespace_values(module):
    import builtins

    namespace = vars(module)
    assert namespace["__doc__"] is None
    assert namespace["__test__"] == {} and type(namespace["__test__"]) is dict
    assert namespace["__builtins__"] is builtins
    assert namespace["cache_readonly"] is namespace["CachedProperty"]
    assert namespace["__package__"] == "tovren._libs"
    assert namespace["__file__"] == namespace["__spec__"].origin
    assert namespace["__loader__"] is namespace["__spec__"].loader
    assert "__path__" not in namespace and "__all__" not in namespace


def test_runtime_modules_registered(module):
    assert sys.modules[MODULE] is module
    assert type(sys.modules["cython_runtime"]) is type(sys)


@pytest.mark.parametrize("type_name", ["CachedProperty", "AxisProperty"])
def test_types_are_static_gc_basetypes(module, type_name):
    cls = getattr(module, type_name)
    flags = cls.__flags__
    base_type, have_gc, version_tag, heap = 1 << 10, 1 << 14, 1 << 18, 1 << 9
    assert flags & base_type and flags & have_gc
    assert not flags & heap
    assert cls.__bases__ == (object,) and cls.__module__ == MODULE
    assert not hasattr(getattr(cls, "__new__")(cls), "__dict__")
    del version_tag


def documented_getter(instance):
    """The getter's docstring."""


@pytest.mark.parametrize(
    ("type_name", "signature", "summary", "arguments", "instance_doc"),
    [("CachedProperty", "(fget)", "Read-only attribute whose getter runs once per owner instance.",
      (documented_getter,), "The getter's docstring."),
     ("AxisProperty", "(axis=0, doc='')", "Attribute that stands for one axis of an owner's manager.",
      (1, "The axis."), "The axis.")],
    ids=["CachedProperty", "AxisProperty"],
)
def test_types_carry_a_docstring_with_a_text_signature(module, type_name, signature, summary, arguments,
                                                       instance_doc):
    # As for CPython's static types (property's tp_doc): the signature line is
    # served as __text_signature__ and stripped from the class's __doc__.
    cls = getattr(module, type_name)
    assert str(inspect.signature(cls)) == signature
    assert cls.__doc__.startswith(f"{summary}\n\n")
    assert f" |  {type_name}{signature}\n |\n |  {summary}\n" in pydoc.render_doc(cls, renderer=pydoc.plaintext)
    # Instances keep their own read-only __doc__: a blank one reads None, not
    # the class docstring.
    assert type(cls.__dict__["__doc__"]) is types.GetSetDescriptorType
    assert cls(*arguments).__doc__ == instance_doc
    assert cls.__new__(cls).__doc__ is None


class Manager:
    axes = ["rows", "columns"]


@pytest.mark.parametrize(
    ("type_name", "item", "argument", "value"),
    [("CachedProperty", int, lambda owner: "computed", "computed"),
     ("AxisProperty", (list, tuple), 1, "columns")],
    ids=["CachedProperty", "AxisProperty"],
)
def test_types_subscript_to_generic_aliases(module, type_name, item, argument, value):
    cls = getattr(module, type_name)
    args = item if isinstance(item, tuple) else (item,)
    for origin in (cls, type("Sub", (cls,), {})):
        alias = origin[item]
        assert (type(alias), alias.__origin__, alias.__args__) == (types.GenericAlias, origin, args)
        descriptor = alias(argument)
        assert type(descriptor) is origin
        owner = type("Owner", (), {"attribute": descriptor, "_mgr": Manager()})()
        assert owner.attribute == value
        with pytest.raises(TypeError, match="object is not subscriptable"):
            descriptor[item]


def test_annotations_written_as_the_stubs_teach_evaluate(module):
    AxisProperty, cache_readonly = module.AxisProperty, module.cache_readonly

    class Table:
        index: AxisProperty[list] = AxisProperty(0)
        columns: AxisProperty[list, list | tuple] = AxisProperty(1)
        shape: cache_readonly[tuple[int, int]]

    assert typing.get_type_hints(Table) == {
        "index": types.GenericAlias(AxisProperty, list),
        "columns": types.GenericAlias(AxisProperty, (list, list | tuple)),
        "shape": types.GenericAlias(module.CachedProperty, tuple[int, int]),
    }


def test_reimport_returns_same_module_with_user_changes_kept():
    result = run_python(
        """
        import sys
        import tovren._libs.properties as first
        first.CachedProperty = "replaced"
        del sys.modules["tovren._libs.properties"]
        import tovren._libs.properties as second
        assert second is first, (second, first)
        assert second.CachedProperty == "replaced"
        assert second.cache_readonly.__name__ == "CachedProperty"
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_import_with_warnings_as_errors_succeeds_on_matching_runtime():
    result = run_python("import tovren._libs.properties", *WARNINGS_AS_ERRORS)
    assert result.returncode == 0, result.stderr


BUILT_FOR = sys.version_info[:2]  # the test-only extension is built for the running interpreter


@pytest.mark.parametrize(
    "runtime, refused",
    [
        ((*BUILT_FOR, 0xB), False),              # another micro version and release level
        ((BUILT_FOR[0], BUILT_FOR[1] + 1, 0), True),
        ((BUILT_FOR[0], BUILT_FOR[1] - 1, 8), True),
        ((BUILT_FOR[0] + 1, BUILT_FOR[1], 0), True),
    ],
    ids=["same-minor", "next-minor", "previous-minor", "next-major"],
)
def test_version_check_compares_with_the_version_built_for(testing, runtime, refused):
    major, minor, micro = runtime
    hexversion = major << 24 | minor << 16 | micro << 8
    if not refused:
        assert testing.check_runtime_version(hexversion) is None
        return
    with pytest.raises(ImportError) as caught:
        testing.check_runtime_version(hexversion)
    assert str(caught.value) == (
        f"compile time Python version {BUILT_FOR[0]}.{BUILT_FOR[1]} of module '{MODULE}' "
        f"does not match runtime version {major}.{minor}")


# The interpreters that `make build` and `make build-python315` provision, by
# the venvs they make, and the module they build in place for each.
ROOT = pathlib.Path(__file__).resolve().parent.parent
VENVS = {(3, 14): ROOT / ".venv", (3, 15): ROOT / ".venv-315"}

CROSS_IMPORT = """
import sys
sys.path.insert(0, sys.argv[1])
for attempt in range(2):
    try:
        import tovren._libs.properties
    except BaseException as error:
        print(type(error).__name__, error, sep=": ")
    else:
        print("imported")
print(sorted(set(sys.modules) & {"tovren._libs.properties", "cython_runtime"}))
"""


@pytest.mark.parametrize(
    ("built_for", "runs_on", "refusal"),
    [
        # The module's own check, in the create step: nothing is made.
        ((3, 14), (3, 15),
         re.escape(f"ImportError: compile time Python version 3.14 of module '{MODULE}' "
                   "does not match runtime version 3.15")),
        # 3.14 refuses the definition of a 3.15 build before the module runs.
        ((3, 15), (3, 14), re.escape(f"SystemError: module {MODULE} uses unknown slot ID ") + r"\d+"),
    ],
    ids=["3.14-build-on-3.15", "3.15-build-on-3.14"],
)
def test_build_for_another_version_is_refused(tmp_path, built_for, runs_on, refusal):
    """The build copied without its version tag (`properties.so`, which every
    interpreter's loader tries) and imported by the other interpreter: a clean
    refusal, every time, where a 3.14 build used to warn and crash 3.15 on
    the first call of one of its functions."""
    if EMULATED:
        pytest.skip(f"the other version's interpreter here (.venv, .venv-315) is this machine's own, "
                    f"which cannot load the module built for {EMULATED}")
    major, minor = built_for
    # This machine's build: the source tree may also hold builds for other
    # architectures (mk/architectures.mk), with their own multiarch triplet.
    multiarch = sysconfig.get_config_var("MULTIARCH")
    built = sorted((ROOT / "tovren" / "_libs").glob(f"properties.cpython-{major}{minor}-{multiarch}.so"))
    interpreter = VENVS[runs_on] / "bin" / "python"
    if not built or not interpreter.exists():
        pytest.skip(f"needs the module built for {major}.{minor} and the {runs_on[0]}.{runs_on[1]} "
                    "interpreter (`make build build-python315`; `make test` makes both)")
    package = tmp_path / "tovren" / "_libs"
    package.mkdir(parents=True)
    shutil.copy(ROOT / "tovren" / "__init__.py", package.parent)
    shutil.copy(ROOT / "tovren" / "_libs" / "__init__.py", package)
    shutil.copy(built[0], package / "properties.so")
    result = subprocess.run([str(interpreter), "-I", "-S", "-c", CROSS_IMPORT, str(tmp_path)],
                            capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stderr) == (0, "")
    first, second, left = result.stdout.splitlines()
    assert re.fullmatch(refusal, first) and second == first
    assert left == "[]"


@pytest.mark.parametrize("remove_first", [False, True])
def test_second_interpreter_is_refused(remove_first):
    """An interpreter sharing the GIL reaches the module's own check; an
    isolated one is refused by the platform before the module runs."""
    result = run_python(
        f"""
        import sys
        import _interpreters
        import tovren._libs.properties
        if {remove_first}:
            del sys.modules["tovren._libs.properties"]
        for config in ("legacy", "isolated"):
            interp = _interpreters.create(_interpreters.new_config(config))
            failure = _interpreters.exec(interp, "import tovren._libs.properties")
            _interpreters.destroy(interp)
            print(failure.type.__name__ if failure else None, failure and failure.msg, sep=": ")
        """
    )
    assert result.returncode == 0, result.stderr
    legacy, isolated = result.stdout.splitlines()
    assert legacy == (
        "ImportError: Interpreter change detected - this module can only be loaded "
        "into one interpreter per process."
    )
    assert isolated.startswith("ImportError: ")


def test_create_step_copies_spec_attributes():
    result = run_python(
        """
        import _imp, types
        import importlib.util
        origin = importlib.util.find_spec("tovren._libs.properties").origin
        spec = types.SimpleNamespace(name="tovren._libs.properties", origin=origin,
                                     loader=None, parent=None,
                                     submodule_search_locations=None)
        module = _imp.create_dynamic(spec)
        namespace = vars(module)
        assert namespace["__loader__"] is None, namespace
        assert namespace["__package__"] is None, namespace
        assert namespace["__file__"] == origin
        assert "__path__" not in namespace
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr


def test_create_step_copies_search_locations():
    result = run_python(
        """
        import _imp, types
        import importlib.util
        origin = importlib.util.find_spec("tovren._libs.properties").origin
        spec = types.SimpleNamespace(name="tovren._libs.properties", origin=origin,
                                     loader="L", parent="tovren._libs",
                                     submodule_search_locations=["somewhere"])
        module = _imp.create_dynamic(spec)
        assert module.__path__ == ["somewhere"] and module.__loader__ == "L"
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr


# ---- traceback entries ---------------------------------------------------------


def owner_with_refusing_property(module):
    return type("Owner", (), {"attr": module.CachedProperty(len)})()


def test_entry_names_operation_and_uses_module_globals(module):
    owner = owner_with_refusing_property(module)
    with pytest.raises(AttributeError) as info:
        owner.attr = 1
    assert module_entry(info.value) == (SOURCE, 41, f"{MODULE}.CachedProperty.__set__")
    frame = innermost_traceback(info.value).tb_frame
    assert frame.f_globals is vars(module)
    assert frame.f_code.co_filename == SOURCE


def test_same_site_reuses_one_code_object(module):
    owner = owner_with_refusing_property(module)
    codes = []
    for _ in range(3):
        try:
            owner.attr = 1
        except AttributeError as error:
            codes.append(innermost_traceback(error).tb_frame.f_code)
    assert codes[0] is codes[1] is codes[2]


def test_sites_sharing_a_line_keep_their_own_names(module):
    """Both `__setstate_cython__` methods fail at line 16 of <stringsource>."""
    seen = []
    for cls in (module.CachedProperty, module.AxisProperty):
        with pytest.raises(TypeError) as info:
            cls.__new__(cls).__setstate_cython__()
        seen.append(module_entry(info.value))
    assert seen == [
        ("<stringsource>", 16, f"{MODULE}.CachedProperty.__setstate_cython__"),
        ("<stringsource>", 16, f"{MODULE}.AxisProperty.__setstate_cython__"),
    ]


def test_exception_identity_and_chaining_untouched(module):
    cause = KeyError("cause")
    raised = []

    def getter(self):
        try:
            raise cause
        except KeyError:
            error = ValueError("value")
            raised.append(error)
            raise error from cause

    owner = type("Owner", (), {"attr": module.CachedProperty(getter)})()
    with pytest.raises(ValueError) as info:
        owner.attr
    assert info.value is raised[0]
    assert info.value.__cause__ is cause and info.value.__context__ is cause
    assert info.value.args == ("value",)
    assert module_entries(info.value) == [(SOURCE, 36, f"{MODULE}.CachedProperty.__get__")]


def test_entries_print_like_python_frames(module):
    import traceback

    owner = owner_with_refusing_property(module)
    try:
        owner.attr = 1
    except AttributeError as error:
        text = "".join(traceback.format_exception(error))
    assert f'File "{SOURCE}", line 41, in {MODULE}.CachedProperty.__set__' in text
    assert text.rstrip().endswith("AttributeError: Can't set attribute")


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded (3.14t) interpreter")
@pytest.mark.parametrize("forced_off", [False, True])
def test_free_threaded_import_asks_for_the_gil(forced_off):
    """The module declares that it needs the GIL: importing it switches the
    GIL on unless the user forced it off."""
    options = ["-X", "gil=0"] if forced_off else []
    # As a user gets it: not forced off by the environment this suite runs in.
    env = {name: value for name, value in os.environ.items() if name != "PYTHON_GIL"}
    result = run_python(
        """
        import sys, warnings
        warnings.simplefilter("ignore")
        before = sys._is_gil_enabled()
        import tovren._libs.properties
        print(before, sys._is_gil_enabled())
        """,
        *options,
        env=env,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == (["False", "False"] if forced_off else ["False", "True"])


def gil_not_used_module():
    """The module built with -DTOVREN_GIL_NOT_USED=ON by `make build-free-threaded`
    (TOVREN_GIL_NOT_USED_DIR names another build tree of it)."""
    root = pathlib.Path(__file__).resolve().parent.parent
    tree = pathlib.Path(os.environ.get("TOVREN_GIL_NOT_USED_DIR", root / "build" / "free-threaded-gil-not-used"))
    built = sorted(tree.glob(f"properties{sysconfig.get_config_var('EXT_SUFFIX')}"))
    if not built:
        pytest.skip(f"no TOVREN_GIL_NOT_USED build of the module in {tree} (`make build-free-threaded` makes it)")
    return built[0]


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded (3.14t) interpreter")
def test_gil_not_used_build_keeps_the_gil_off():
    """Built with TOVREN_GIL_NOT_USED, the module declares that it runs
    without the GIL: importing it leaves the GIL off, with no warning."""
    built = gil_not_used_module()
    # The child decides for itself: a PYTHON_GIL=0 inherited from this run
    # would keep the GIL off whatever the module declares.
    env = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    code = f"""
        import importlib.util, sys
        before = sys._is_gil_enabled()
        spec = importlib.util.spec_from_file_location({MODULE!r}, {str(built)!r})
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        assert sys.modules[{MODULE!r}] is module
        print(before, sys._is_gil_enabled(), type(module.cache_readonly(len)).__name__)
        """
    result = subprocess.run(
        [sys.executable, "-W", "error", "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=120, env=env,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["False", "False", "CachedProperty"]


# ---- the unchecked read after fork --------------------------------------------------

FORK_DURING_READ = """
import os
import sys
import threading

sys.path.append(sys.argv[1])
import _properties_testing as testing
from tovren._libs.properties import AxisProperty, cache_readonly

class Manager:
    axes = ["axis"]

class Owner:
    _mgr = Manager()
    axis = AxisProperty(0)

    def __init__(self):
        self._cache = {"value": "cached"}

    @cache_readonly
    def value(self):
        raise AssertionError("read past the cache")

def probe(when):
    # Made at the C stack limit, a read succeeds only if it skips the check.
    seen = []
    for name in ("value", "axis"):
        try:
            testing.read_at_stack_limit(Owner(), name)
            seen.append("unchecked")
        except RecursionError:
            seen.append("checked")
    print(when, *seen, sep=": ", flush=True)

def in_child(body):
    pid = os.fork()
    if pid == 0:
        try:
            body()
        finally:
            os._exit(0)
    os.waitpid(pid, 0)

probe("start")

entered, release = threading.Event(), threading.Event()

class Waiting:
    @cache_readonly
    def value(self):
        entered.set()
        release.wait()
        return 1

thread = threading.Thread(target=lambda: Waiting().value)
thread.start()
entered.wait()
probe("a thread inside a read")
in_child(lambda: probe("its child"))
release.set()
thread.join()

# Both threads of their own: one waits inside a read while the other forks.
# Their stacks can lie side by side in one memory mapping; either may be the
# one above.
def fork_beside_a_waiting_read(waiting_first):
    entered.clear()
    release.clear()
    waiting = threading.Thread(target=lambda: Waiting().value)
    if waiting_first:
        waiting.start()
        entered.wait()
    forking_start = threading.Event()
    forking = threading.Thread(
        target=lambda: (forking_start.wait(), in_child(lambda: probe("forked beside a read"))))
    forking.start()
    if not waiting_first:
        waiting.start()
        entered.wait()
    forking_start.set()
    forking.join()
    release.set()
    waiting.join()

fork_beside_a_waiting_read(True)
fork_beside_a_waiting_read(False)

class Spawning:
    @cache_readonly
    def value(self):
        worker = threading.Thread(target=in_child, args=(lambda: probe("forked by another thread"),))
        worker.start()
        worker.join()
        return 1

Spawning().value

class Forking:
    @cache_readonly
    def value(self):
        pid = os.fork()
        if pid == 0:
            probe("child, inside the read that forked")
        return pid

if Forking().value == 0:
    probe("child, after that read")
    os._exit(0)
os.wait()

# A thread of its own forks inside its read: the read goes on in the child.
def fork_in_a_read_of_a_thread():
    if Forking().value == 0:
        probe("child of a thread, after that read")
        os._exit(0)
    os.wait()

thread = threading.Thread(target=fork_in_a_read_of_a_thread)
thread.start()
thread.join()
probe("end")
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no os.fork on this platform")
@pytest.mark.skipif(FREE_THREADED, reason="a free-threaded build checks every read: no claim to lose")
def test_forked_child_reads_unchecked_once_the_claiming_thread_is_gone(testing):
    """A thread inside a read (its getter waiting) when another thread forks
    does not exist in the child, be it a thread of its own or the main
    thread: the child's reads skip the recursion check again. The forking
    thread's own read goes on in the child, and reads nested in it stay
    checked until it ends."""
    result = subprocess.run(
        [sys.executable, "-W", "ignore::DeprecationWarning", "-c", FORK_DURING_READ,
         str(pathlib.Path(testing.__file__).parent)],
        capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "start: unchecked: unchecked",
        "a thread inside a read: checked: checked",
        "its child: unchecked: unchecked",
        "forked beside a read: unchecked: unchecked",
        "forked beside a read: unchecked: unchecked",
        "forked by another thread: unchecked: unchecked",
        "child, inside the read that forked: checked: checked",
        "child, after that read: unchecked: unchecked",
        "child, inside the read that forked: checked: checked",
        "child of a thread, after that read: unchecked: unchecked",
        "end: unchecked: unchecked",
    ]


# One import of the module in a fresh interpreter with the allocation numbered
# `start` made to fail (`stop` 0: every allocation from there on). It prints
# whether the import failed, then imports again and prints the after-fork
# hooks that the process holds, by the module each names.
IMPORT_WITH_FAILED_ALLOCATION = """
import gc, sys, _testcapi
import tovren._libs
start, stop = int(sys.argv[1]), int(sys.argv[2])
try:
    _testcapi.set_nomemory(start, stop)
    import tovren._libs.properties
except MemoryError:
    failed = True
else:
    failed = False
finally:
    _testcapi.remove_mem_hooks()
sys.modules.pop("tovren._libs.properties", None)
import tovren._libs.properties
hooks = [o for o in gc.get_objects() if getattr(o, "__name__", None) == "after_fork_in_child"]
print(failed, *(hook.__module__ for hook in hooks))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no os.fork on this platform")
@pytest.mark.skipif(FREE_THREADED, reason="a free-threaded build checks every read: no hook")
def test_failed_import_retried_leaves_one_after_fork_hook():
    """`os.register_at_fork` cannot take a hook back: an import that fails
    after registering it (an allocation failure in the last steps of start-up)
    and is retried must not register a second one."""
    pytest.importorskip("_testcapi", reason="needs _testcapi.set_nomemory")

    def import_failing_at(start, stop):
        result = subprocess.run(
            [sys.executable, "-c", IMPORT_WITH_FAILED_ALLOCATION, str(start), str(stop)],
            capture_output=True, text=True, timeout=60, env={**os.environ, "PYTHONHASHSEED": "0"})
        assert result.returncode == 0, result.stderr
        failed, *hooks = result.stdout.split()
        return failed == "True", hooks

    # The number of allocations the import makes: the least `start` from which
    # failing every allocation still lets it succeed.
    low, high = 0, 1
    while import_failing_at(high, 0)[0]:
        low, high = high, high * 2
    while high - low > 1:
        middle = (low + high) // 2
        low, high = (middle, high) if import_failing_at(middle, 0)[0] else (low, middle)
    # The hook is registered near the end of start-up: fail each of the
    # import's last allocations alone.
    outcomes = [import_failing_at(start, start + 1) for start in range(max(0, high - 48), high)]
    assert sum(failed for failed, _ in outcomes) >= 24
    assert {tuple(hooks) for _, hooks in outcomes} == {("tovren._libs.properties",)}
