"""Function-object runtime: the shared function type, its metaclass, and the
six function objects the module binds at start-up."""

import copy
import gc
import inspect
import pickle
import pydoc
import re
import struct
import subprocess
import sys
import textwrap
import types
import weakref

import pytest
from conftest import assert_no_reference_leaks

import tovren._libs.properties as properties
from tovren._libs.properties import AxisProperty, CachedProperty

MODULE = "tovren._libs.properties"
REGISTRY = "_tovren_function_runtime_1"

# (class holding the method, or None for a module-level function), name,
# qualified name, parameters of the code object.
FUNCTIONS = [
    (CachedProperty, "__reduce_cython__", "CachedProperty.__reduce_cython__", "(self)"),
    (CachedProperty, "__setstate_cython__", "CachedProperty.__setstate_cython__",
     "(self, __pyx_state)"),
    (AxisProperty, "__reduce_cython__", "AxisProperty.__reduce_cython__", "(self)"),
    (AxisProperty, "__setstate_cython__", "AxisProperty.__setstate_cython__",
     "(self, __pyx_state)"),
    (None, "__pyx_unpickle_CachedProperty", "__pyx_unpickle_CachedProperty",
     "(__pyx_type, __pyx_checksum, __pyx_state)"),
    (None, "__pyx_unpickle_AxisProperty", "__pyx_unpickle_AxisProperty",
     "(__pyx_type, __pyx_checksum, __pyx_state)"),
]
METHODS = [row for row in FUNCTIONS if row[0] is not None]
IDS = [row[2] for row in FUNCTIONS]


def function_of(owner, name):
    return vars(owner)[name] if owner is not None else vars(properties)[name]


def c_type_name(instance):
    """The `tp_name` of the instance's type, as C error messages print it."""
    cls = type(instance)
    return cls.__name__ if cls.__module__ == "builtins" else f"{cls.__module__}.{cls.__name__}"


def run_python(code):
    """Runs `code` in a fresh interpreter; the module initialises once per process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


@pytest.fixture
def scratch_registry():
    """A registry name of its own, removed from sys.modules afterwards."""
    names = []

    def make(prefix="_tovren_test_registry"):
        name = f"{prefix}_{len(names)}_{id(names)}"
        names.append(name)
        return name

    yield make
    for name in names:
        sys.modules.pop(name, None)


# ---- the function objects -------------------------------------------------------


@pytest.mark.parametrize(("owner", "name", "qualname", "parameters"), FUNCTIONS, ids=IDS)
def test_function_attributes(owner, name, qualname, parameters):
    function = function_of(owner, name)
    assert function.__name__ == name
    assert function.__qualname__ == qualname
    assert function.__module__ == MODULE
    assert function.__globals__ is vars(properties)
    assert function.__doc__ is None
    assert function.__defaults__ is None and function.__kwdefaults__ is None
    assert isinstance(function.__code__, types.CodeType)
    assert function.__code__.co_name == name
    assert str(inspect.signature(function)) == parameters


@pytest.mark.parametrize(("owner", "name", "qualname", "parameters"), FUNCTIONS, ids=IDS)
def test_function_objects_are_read_only(owner, name, qualname, parameters):
    function = function_of(owner, name)
    for attribute in ("__name__", "__qualname__", "__module__", "__globals__", "__code__",
                      "__doc__", "anything"):
        with pytest.raises(AttributeError):
            setattr(function, attribute, "x")
    assert (function.__name__, function.__module__) == (name, MODULE)


def test_all_functions_share_the_registered_types():
    registry = sys.modules[REGISTRY]
    function_type = registry.compiled_function
    metatype = registry.compiled_function_type
    assert {type(function_of(owner, name)) for owner, name, *_ in FUNCTIONS} == {function_type}
    assert type(function_type) is metatype
    assert metatype.__bases__ == (type,)
    assert function_type.__bases__ == (object,)
    assert function_type.__module__ == REGISTRY
    assert function_type.__name__ == "compiled_function"
    assert function_type.__doc__ is None


def test_function_type_and_metatype_make_nothing_from_python():
    function_type = type(properties.__pyx_unpickle_CachedProperty)
    with pytest.raises(TypeError, match="cannot create"):
        function_type()
    with pytest.raises(TypeError, match="cannot create"):
        type(function_type)("Made", (), {})
    with pytest.raises(TypeError):

        class Derived(function_type):
            pass


def test_repr_names_the_qualified_name():
    function = CachedProperty.__reduce_cython__
    assert re.fullmatch(
        r"<compiled_function CachedProperty\.__reduce_cython__ at 0x[0-9a-fA-F]+>", repr(function)
    )


@pytest.mark.parametrize(("owner", "name", "qualname", "parameters"), FUNCTIONS, ids=IDS)
def test_read_through_the_class_gives_the_function_itself(owner, name, qualname, parameters):
    function = function_of(owner, name)
    assert function.__get__(None, CachedProperty) is function
    if owner is not None:
        assert getattr(owner, name) is function


@pytest.mark.parametrize(("owner", "name", "qualname", "parameters"), METHODS, ids=IDS[:4])
def test_read_through_an_instance_binds(owner, name, qualname, parameters):
    instance = owner(len) if owner is CachedProperty else owner()
    bound = getattr(instance, name)
    assert type(bound) is types.MethodType
    assert bound.__self__ is instance and bound.__func__ is vars(owner)[name]
    assert str(inspect.signature(bound)) == parameters.replace("self, ", "").replace("self", "")


def test_bound_and_unbound_calls_agree():
    descriptor = CachedProperty(len)
    function = vars(CachedProperty)["__reduce_cython__"]
    assert function(descriptor) == descriptor.__reduce_cython__() == descriptor.__reduce__()
    state = (None, 3)
    axis = AxisProperty()
    vars(AxisProperty)["__setstate_cython__"](axis, __pyx_state=state)
    assert (axis.__doc__, axis.axis) == (None, 3)


@pytest.mark.parametrize(("owner", "name", "qualname", "parameters"), METHODS, ids=IDS[:4])
def test_method_called_without_any_positional_argument(owner, name, qualname, parameters):
    function = vars(owner)[name]
    with pytest.raises(TypeError) as caught:
        function()
    assert str(caught.value) == f"{name}() needs an argument"
    # A keyword is no instance either.
    with pytest.raises(TypeError, match=re.escape(f"{name}() needs an argument")):
        function(__pyx_state=())


@pytest.mark.parametrize(("owner", "name", "qualname", "parameters"), METHODS, ids=IDS[:4])
@pytest.mark.parametrize("foreign", [42, None, "text", object()], ids=repr)
def test_method_refuses_an_instance_of_another_type(owner, name, qualname, parameters, foreign):
    function = vars(owner)[name]
    other = AxisProperty() if owner is CachedProperty else CachedProperty(len)
    for instance in (foreign, other):
        message = (
            f"descriptor '{name}' for '{MODULE}.{owner.__name__}' objects doesn't apply to a "
            f"'{c_type_name(instance)}' object"
        )
        with pytest.raises(TypeError) as caught:
            function(instance, ())
        assert str(caught.value) == message
        # Binding by hand to a foreign object does not get past the check either.
        with pytest.raises(TypeError, match="doesn't apply"):
            function.__get__(instance, type(instance))(())


def test_method_accepts_subclass_instances():
    class Sub(AxisProperty):
        pass

    instance = Sub(2, "d")
    assert vars(AxisProperty)["__reduce_cython__"](instance)[1][0] is Sub


@pytest.mark.parametrize(
    "call",
    [
        lambda f: f(CachedProperty, 0xEF86259, None),
        lambda f: f(CachedProperty, 0xEF86259, __pyx_state=None),
        lambda f: f(__pyx_state=None, __pyx_checksum=0xEF86259, __pyx_type=CachedProperty),
        lambda f: f(*[CachedProperty, 0xEF86259], **{"__pyx_state": None}),
        lambda f: f(*(CachedProperty, 0xEF86259, None)),
    ],
    ids=["positional", "mixed", "keywords", "star-args", "tuple-call"],
)
def test_calls_with_positional_and_keyword_arguments(call):
    rebuilt = call(properties.__pyx_unpickle_CachedProperty)
    assert type(rebuilt) is CachedProperty
    assert (rebuilt.fget, rebuilt.name, rebuilt.__doc__) == (None, None, None)


@pytest.mark.parametrize(("owner", "name", "qualname", "parameters"), FUNCTIONS, ids=IDS)
def test_function_objects_pickle_and_copy_by_reference(owner, name, qualname, parameters):
    function = function_of(owner, name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    assert copy.copy(function) is function
    assert copy.deepcopy(function) is function


def test_function_objects_take_part_in_garbage_collection():
    function = properties.__pyx_unpickle_AxisProperty
    assert gc.is_tracked(function)
    referents = gc.get_referents(function)
    assert any(referent is vars(properties) for referent in referents)
    assert any(referent is function.__code__ for referent in referents)
    assert any(referent is type(function) for referent in referents)


def test_a_freed_function_object_releases_its_type():
    # In a process of its own: the reconstructors are taken out of the module.
    # A collection first: on a free-threaded build it settles the type's
    # deferred and per-thread counts, which the count read then includes.
    result = run_python("""
        import gc, sys, weakref
        import tovren._libs.properties as m
        function_type = type(m.__pyx_unpickle_CachedProperty)
        for name in ("__pyx_unpickle_CachedProperty", "__pyx_unpickle_AxisProperty"):
            freed = weakref.ref(vars(m)[name])
            gc.collect()
            before = sys.getrefcount(function_type)
            del vars(m)[name]
            gc.collect()
            print(freed() is None, before - sys.getrefcount(function_type))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "1", "True", "1"]


def test_function_objects_support_weak_references():
    function = properties.__pyx_unpickle_AxisProperty
    reference = weakref.ref(function)
    assert reference() is function


@pytest.mark.parametrize(
    "target", [properties, CachedProperty, AxisProperty, properties.__pyx_unpickle_CachedProperty],
    ids=["module", "CachedProperty", "AxisProperty", "function"],
)
def test_pydoc_renders(target):
    text = pydoc.render_doc(target, renderer=pydoc.plaintext)
    assert text.strip()
    if target is properties:
        assert "class CachedProperty" in text and "class AxisProperty" in text
    elif isinstance(target, type):
        assert "__reduce_cython__(self)" in text
        assert "__setstate_cython__(self, __pyx_state)" in text
        assert "__reduce__ = __reduce_cython__" in text
    else:
        assert "__pyx_unpickle_CachedProperty(__pyx_type, __pyx_checksum, __pyx_state)" in text


def test_help_on_the_function_type_works():
    text = pydoc.render_doc(type(properties.__pyx_unpickle_CachedProperty), renderer=pydoc.plaintext)
    assert "compiled_function" in text


# ---- the shared types --------------------------------------------------------------


def test_another_module_of_the_runtime_gets_the_same_types(testing):
    function_type = type(properties.__pyx_unpickle_CachedProperty)
    assert testing.obtain_function_types(REGISTRY) == (type(function_type), function_type)


def test_scratch_registry_is_created_once_and_then_reused(testing, scratch_registry):
    name = scratch_registry()
    assert name not in sys.modules
    metatype, function_type = testing.obtain_function_types(name)
    registry = sys.modules[name]
    assert isinstance(registry, types.ModuleType)
    assert registry.compiled_function_type is metatype
    assert registry.compiled_function is function_type
    assert type(function_type) is metatype and metatype.__bases__ == (type,)
    # Fresh types: not those of the module's own registry.
    assert function_type is not type(properties.__pyx_unpickle_CachedProperty)
    assert function_type.__basicsize__ == type(properties.__pyx_unpickle_CachedProperty).__basicsize__
    assert testing.obtain_function_types(name) == (metatype, function_type)


# A Python class with no fields of its own: the size of an object header.
SMALL_PLAIN_TYPE = type("compiled_function", (), {})


# A slot of __slots__ holds one object pointer: 8 bytes, or 4 on a 32-bit build.
SLOT_SIZE = struct.calcsize("P")


def plain_type_of_size(size):
    """A Python class whose instances have `size` bytes."""
    slots = (size - object.__basicsize__) // SLOT_SIZE
    made = type("compiled_function", (), {"__slots__": tuple(f"s{i}" for i in range(slots))})
    assert made.__basicsize__ == size
    return made


FUNCTION_SIZE = type(properties.__pyx_unpickle_CachedProperty).__basicsize__
LARGE_PLAIN_TYPE = plain_type_of_size(FUNCTION_SIZE + SLOT_SIZE)


@pytest.mark.parametrize(
    ("entries", "message"),
    [
        ({"compiled_function_type": 5},
         "Shared type 'compiled_function_type' in {name} is not a type object"),
        ({"compiled_function": "not a type"},
         "Shared type 'compiled_function' in {name} is not a type object"),
        ({"compiled_function": SMALL_PLAIN_TYPE},
         "Shared type 'compiled_function' in {name} has the wrong size "
         f"(expected {{size}}, got {SMALL_PLAIN_TYPE.__basicsize__})"),
        ({"compiled_function": LARGE_PLAIN_TYPE},
         "Shared type 'compiled_function' in {name} has the wrong size "
         f"(expected {{size}}, got {LARGE_PLAIN_TYPE.__basicsize__})"),
        ({"compiled_function": plain_type_of_size(FUNCTION_SIZE)},
         "Shared type 'compiled_function' in {name} has an incompatible layout"),
        ({"compiled_function_type": int},
         "Shared type 'compiled_function_type' in {name} has an incompatible layout"),
    ],
    ids=["meta-not-type", "function-not-type", "smaller", "larger", "wrong-layout",
         "meta-not-metaclass"],
)
def test_registry_entries_are_checked(testing, scratch_registry, entries, message):
    name = scratch_registry()
    registry = types.ModuleType(name)
    vars(registry).update(entries)
    sys.modules[name] = registry
    with pytest.raises(TypeError) as caught:
        testing.obtain_function_types(name)
    assert str(caught.value) == message.format(name=name, size=FUNCTION_SIZE)
    # Nothing was replaced: the entries found stay as they were.
    for key, value in entries.items():
        assert getattr(registry, key) is value


def test_registry_name_taken_by_a_non_module(testing, scratch_registry):
    name = scratch_registry()
    sys.modules[name] = squatter = object()
    with pytest.raises(TypeError) as caught:
        testing.obtain_function_types(name)
    assert str(caught.value) == f"sys.modules['{name}'] is not a module"
    assert sys.modules[name] is squatter


def test_import_creates_and_registers_the_types_in_a_fresh_process():
    result = run_python(f"""
        import sys
        assert "{REGISTRY}" not in sys.modules
        import tovren._libs.properties as m
        registry = sys.modules["{REGISTRY}"]
        function_type = type(m.__pyx_unpickle_CachedProperty)
        assert registry.compiled_function is function_type
        assert type(function_type) is registry.compiled_function_type
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


@pytest.mark.parametrize(
    ("setup", "message"),
    [
        ("registry.compiled_function = 42",
         f"Shared type 'compiled_function' in {REGISTRY} is not a type object"),
        ("registry.compiled_function = type('compiled_function', (), {})",
         f"Shared type 'compiled_function' in {REGISTRY} has the wrong size"),
    ],
    ids=["not-a-type", "wrong-size"],
)
def test_import_fails_on_a_foreign_registry_entry(setup, message):
    result = run_python(f"""
        import sys, traceback, types
        registry = types.ModuleType("{REGISTRY}")
        {setup}
        sys.modules["{REGISTRY}"] = registry
        try:
            import tovren._libs.properties
        except TypeError as error:
            frame = traceback.extract_tb(error.__traceback__)[-1]
            print(error)
            print(frame.filename, frame.lineno, frame.name, sep="|")
            print("tovren._libs.properties" in sys.modules)
    """)
    assert result.returncode == 0, result.stderr
    error, entry, registered = result.stdout.splitlines()
    assert error.startswith(message)
    assert entry == "tovren/_libs/properties|1|init tovren._libs.properties"
    # The types come before the module is registered in sys.modules.
    assert registered == "False"


def test_no_reference_leaks_in_calls_and_binding():
    function = vars(CachedProperty)["__reduce_cython__"]
    descriptor = CachedProperty(len)
    # The module's types are immortal; a subclass shows a leaked argument.
    subclass = type("Sub", (CachedProperty,), {})

    def exercise():
        for _ in range(200):
            function(descriptor)
            descriptor.__reduce_cython__()
            for bad in ((), (42,)):
                try:
                    function(*bad)
                except TypeError:
                    pass
            for target in (CachedProperty, subclass):
                properties.__pyx_unpickle_CachedProperty(
                    __pyx_type=target, __pyx_checksum=0xEF86259, __pyx_state=None)

    assert_no_reference_leaks(exercise, (function, descriptor, subclass,
                                         properties.__pyx_unpickle_CachedProperty))
