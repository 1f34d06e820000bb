"""Owner shapes: the family of the hostile-input campaign
(reliability/fuzz_campaign.py) that composes owner classes at random.

A case builds two to four classes whose `_cache`, `_mgr`, `axes` and
`_set_axis` are each absent, a class attribute, an instance attribute (in
`__dict__` or a slot), a Python property, a `CachedProperty` whose getter has
that very name, an `AxisProperty`, or left to a `__getattr__` (a Python
function, or one of the module's descriptors standing as the hook). Classes
derive from `object`, from `dict` or from one another; their instances serve
as each other's managers, caches and values. Getters, properties and hooks
return values of the case, read further attributes of the case's instances,
raise, or re-initialise descriptors and reset caches on the way. The case
then reads, assigns and deletes attributes in random order.

Lookups that lead back into the module's own descriptors are the point: a
loop through them must end in RecursionError, never in a crash. Every outcome
must be a value or an ordinary exception (never SystemError), and a read
through one of the module's descriptors must return an object that the case
made or that one of its callbacks returned (or the descriptor itself).
"""

from __future__ import annotations

NAMES = ("_cache", "_mgr", "axes", "_set_axis")
# Callbacks a case may run before they stop reading on or mutating: a shape
# whose read and whose `_cache` assignment both lead back into the read makes
# a tree of calls that doubles with every level of recursion.
CALL_BUDGET = 3000
# Weighted: a module descriptor under one of these names makes most reads of
# the class recurse; the other shapes let the cases get further.
SHAPES = ("absent",) * 3 + ("class",) * 3 + ("instance",) * 3 + ("property",) * 2 + ("cached", "axis", "getattr")


class Token:
    """A value of the case."""

    __slots__ = ("label",)

    def __init__(self, label):
        self.label = label

    def __repr__(self):
        return f"Token({self.label})"


class ListSubclass(list):
    pass


class DictSubclass(dict):
    def __getitem__(self, key):  # bypassed by the module's dict reads
        raise KeyError(key)


class Manager:
    """A plain manager whose `axes` is whatever the case put there."""

    def __init__(self, axes):
        self.axes = axes


class OwnerShapeCase:
    def __init__(self, rng, m, attempt, check, hostile):
        self.rng = rng
        self.m = m
        self.attempt = attempt
        self.check = check
        self.hostile = hostile
        self.known = []  # everything the case made or a callback returned, kept alive
        self.known_ids = set()
        self.calls = 0
        self.descriptors = []
        self.instances = []
        self.keep(None)
        self.tokens = [self.keep(Token(n)) for n in range(4)]
        self.lists = [self.keep([self.pick(self.tokens) for _ in range(rng.randrange(4))]) for _ in range(2)]
        self.classes = []
        for number in range(rng.randrange(2, 5)):
            self.classes.append(self.make_class(number))
        for cls in self.classes:
            for _ in range(rng.randrange(1, 3)):
                instance = self.attempt(cls)
                if instance[0]:
                    self.instances.append(self.keep(instance[1]))
        for instance in self.instances:
            self.fill_instance(instance)

    # ---- values ---------------------------------------------------------------------

    def keep(self, value):
        if id(value) not in self.known_ids:
            self.known_ids.add(id(value))
            self.known.append(value)
        return value

    def pick(self, choices):
        return choices[self.rng.randrange(len(choices))]

    def value(self, depth=0):
        """A value of the case, made or chosen now."""
        choice = self.rng.randrange(14)
        if choice == 0:
            return None
        if choice == 1:
            return self.pick(self.tokens)
        if choice == 2:
            return self.pick(self.lists)
        if choice == 3:
            return self.keep(ListSubclass(self.tokens[:2]))
        if choice == 4:
            return self.keep(tuple(self.tokens[:2]))
        if choice == 5:
            return self.keep({})
        if choice == 6:
            # A cache with entries planted under the readers' keys.
            return self.keep({f"r{n}": self.pick(self.tokens) for n in range(self.rng.randrange(3))})
        if choice == 7:
            return self.keep(DictSubclass(r0=self.tokens[0]))
        if choice == 8 and depth == 0:
            return self.keep(Manager(self.value(depth + 1)))
        if choice in (9, 10) and self.instances:
            return self.pick(self.instances)
        if choice == 11 and self.descriptors:
            return self.pick(self.descriptors)
        if choice == 12:
            return self.keep(self.pick([0, 1, -1, 7]))
        return self.pick(self.tokens)

    def attribute_name(self):
        return self.pick(NAMES + ("r0", "r1", "r2", "missing"))

    # ---- callbacks ----------------------------------------------------------------

    def behaviour(self):
        """What a getter, property or `__getattr__` does when called, drawn now."""
        case = self
        kind = self.rng.randrange(9)

        def run(instance):
            case.calls += 1
            if kind <= 2 or case.calls > CALL_BUDGET:
                result = case.value()
            elif kind <= 4:
                # Read on: through the module's descriptors, properties, hooks.
                target = instance if case.rng.random() < 0.6 or not case.instances else case.pick(case.instances)
                result = getattr(target, case.attribute_name())
            elif kind == 5:
                raise AttributeError("callback")
            elif kind == 6:
                raise case.hostile("callback")
            elif kind == 7:
                case.mutate(instance)
                result = case.value()
            else:
                result = instance
            return case.keep(result)

        return run

    def mutate(self, instance):
        """Changes the case's state in the middle of a lookup."""
        action = self.rng.randrange(5)
        if action == 0 and self.descriptors:
            self.reinitialise(self.pick(self.descriptors))
        elif action == 1:
            self.attempt(lambda: setattr(instance, "_cache", self.pick([None, self.keep({})])))
        elif action == 2:
            self.attempt(lambda: delattr(instance, self.pick(NAMES)))
        elif action == 3:
            lst = self.pick(self.lists)
            if lst:
                del lst[self.rng.randrange(len(lst)):]
        else:
            self.pick(self.lists).append(self.pick(self.tokens))

    def getter(self, name):
        """A getter named `name` (the key a CachedProperty stores under)."""
        run = self.behaviour()

        def getter(instance):
            return run(instance)

        getter.__name__ = name
        return getter

    def descriptor(self, name):
        m = self.m
        if self.rng.random() < 0.5:
            made = m.CachedProperty(self.getter(name if self.rng.random() < 0.8 else self.attribute_name()))
        else:
            made = m.AxisProperty(self.pick([0, 1, -1, 2]))
        self.descriptors.append(self.keep(made))
        return made

    def reinitialise(self, descriptor):
        if isinstance(descriptor, self.m.CachedProperty):
            self.attempt(lambda: descriptor.__init__(self.getter(self.attribute_name())))
        else:
            self.attempt(lambda: descriptor.__init__(self.pick([0, 1, -1, 3])))

    # ---- classes ------------------------------------------------------------------

    def make_class(self, number):
        rng = self.rng
        bases = (object,)
        choice = rng.randrange(6)
        if choice == 0:
            bases = (dict,)
        elif choice <= 2 and self.classes:
            bases = (self.pick(self.classes),)
        namespace = {}
        shapes = {name: self.pick(SHAPES) for name in NAMES}
        slotted = rng.random() < 0.3
        if slotted:
            slots = [name for name, shape in shapes.items() if shape == "instance"]
            if rng.random() < 0.3:
                slots.append("__dict__")
            namespace["__slots__"] = tuple(slots)
        hooked = False
        for name, shape in shapes.items():
            if shape == "class":
                namespace[name] = self.value() if name != "_set_axis" else self.set_axis_method()
            elif shape == "property":
                namespace[name] = self.python_property(name)
            elif shape == "cached":
                made = self.m.CachedProperty(self.getter(name))
                self.descriptors.append(self.keep(made))
                namespace[name] = made
            elif shape == "axis":
                namespace[name] = self.axis_descriptor()
            elif shape == "getattr":
                hooked = True
        if hooked or rng.random() < 0.15:
            namespace["__getattr__"] = self.getattr_hook()
        for n in range(rng.randrange(1, 4)):
            namespace[f"r{n}"] = self.descriptor(f"r{n}")
        if "_set_axis" not in namespace and shapes["_set_axis"] == "absent" and rng.random() < 0.7:
            namespace["_set_axis"] = self.set_axis_method()
        ok, made = self.attempt(lambda: type(f"Shape{number}", bases, namespace))
        if not ok:  # a layout conflict of bases and slots: fall back to a plain class
            namespace.pop("__slots__", None)
            made = type(f"Shape{number}", (object,), namespace)
        made.shapes = shapes
        return self.keep(made)

    def axis_descriptor(self):
        made = self.m.AxisProperty(self.pick([0, 1, -1, 2, -3]))
        self.descriptors.append(self.keep(made))
        return made

    def python_property(self, name):
        run = self.behaviour()
        case = self

        def setter(instance, value):
            if case.rng.random() < 0.3:
                raise AttributeError(name)
            instance.__dict__[name] = value

        return self.keep(property(run, setter if self.rng.random() < 0.5 else None))

    def getattr_hook(self):
        choice = self.rng.randrange(5)
        if choice == 0:
            return self.axis_descriptor()  # `__getattr__` bound through AxisProperty.__get__
        if choice == 1:
            made = self.m.CachedProperty(self.getter("__getattr__"))
            self.descriptors.append(self.keep(made))
            return made
        run = self.behaviour()

        def __getattr__(instance, name):
            if name.startswith("__") or name not in NAMES + ("r0", "r1", "r2"):
                raise AttributeError(name)
            return run(instance)

        return __getattr__

    def set_axis_method(self):
        case = self
        run = self.behaviour() if self.rng.random() < 0.3 else None

        def _set_axis(instance, axis, value):
            if run is not None:
                run(instance)
            axes = getattr(getattr(instance, "_mgr"), "axes")
            if type(axes) is list and -len(axes) <= axis < len(axes):
                axes[axis] = case.keep(value)

        return _set_axis

    def fill_instance(self, instance):
        for name, shape in type(instance).shapes.items():
            if shape == "instance" or (shape == "absent" and self.rng.random() < 0.2):
                self.attempt(lambda: setattr(instance, name, self.value()))
        if isinstance(instance, dict) and self.rng.random() < 0.5:
            instance.update(r0=self.pick(self.tokens))

    # ---- operations ---------------------------------------------------------------

    def module_descriptor_of(self, instance, name):
        """The module's descriptor that ordinary lookup of `name` reaches first, or None."""
        for klass in type(instance).__mro__:
            if name in klass.__dict__:
                found = klass.__dict__[name]
                if isinstance(found, (self.m.CachedProperty, self.m.AxisProperty)):
                    return found
                return None
        return None

    def read(self, instance, name):
        descriptor = self.module_descriptor_of(instance, name)
        ok, value = self.attempt(lambda: getattr(instance, name))
        if ok and descriptor is not None:
            self.check(id(value) in self.known_ids,
                       lambda: f"a read of {name} through {type(descriptor).__name__} returned {value!r}, "
                               "not a value of the case")

    def operate(self):
        rng = self.rng
        if not self.instances:
            return
        instance = self.pick(self.instances)
        operation = rng.randrange(10)
        if operation < 5:
            self.read(instance, self.attribute_name())
        elif operation < 7:
            value = self.keep(self.value())
            self.attempt(lambda: setattr(instance, self.attribute_name(), value))
        elif operation == 7:
            self.attempt(lambda: delattr(instance, self.attribute_name()))
        elif operation == 8 and self.descriptors:
            descriptor = self.pick(self.descriptors)
            target = self.pick(self.instances + [None, self.pick(self.tokens)])
            ok, value = self.attempt(lambda: descriptor.__get__(target, type(target)))
            if ok:
                self.check(id(value) in self.known_ids, lambda: f"__get__ returned {value!r}")
        elif self.descriptors:
            self.reinitialise(self.pick(self.descriptors))


def run(rng, m, attempt, check, hostile):
    case = OwnerShapeCase(rng, m, attempt, check, hostile)
    for _ in range(rng.randrange(3, 16)):
        case.operate()
