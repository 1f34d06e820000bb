"""Thread stress run against tovren._libs.properties.

    python reliability/thread_stress.py [--threads N] [--operations M] [--seed S]

N threads share owner instances and their descriptors and, with a very short
switch interval, do M random operations each: read `CachedProperty` and
`AxisProperty` attributes, assign through `AxisProperty`, grow and shrink
the managers' axes lists, reset or replace
`_cache`, pickle, copy and rebuild descriptors, re-initialise descriptors
with other getters, build and drop reference cycles through descriptors, and
collect garbage. A read must return a value that a getter returned for that
very instance (or, for `AxisProperty`, an item that instance's manager
held); a rebuilt descriptor must carry one of the getters it was ever given.
A crash ends the process with a signal, which the caller sees as the exit
status.

Exit status: 0 when every check held, 1 otherwise.
"""

from __future__ import annotations

import argparse
import copy
import gc
import pickle
import random
import sys
import threading
import time
import traceback

import tovren._libs.properties as properties

NAMES = ("alpha", "beta", "gamma")


class Value:
    """What a getter returns: it records the instance and the getter."""

    __slots__ = ("owner", "getter")

    def __init__(self, owner, getter):
        self.owner = owner
        self.getter = getter


class Item:
    """An item of a manager's axes list: it records the owner."""

    __slots__ = ("owner",)

    def __init__(self, owner):
        self.owner = owner


def make_getter(name, serial, fresh=False):
    def getter(self):
        if serial % 3 == 0:
            time.sleep(0)  # let another thread in while the entry is missing
        return Value(self, getter)

    getter.__name__ = name
    getter.__qualname__ = f"getter_{name}_{serial}"
    # A fresh getter (and its name) lives only as long as a descriptor holds
    # it: a read that used either after a concurrent re-initialisation
    # released it would touch freed memory.
    getter.fresh = fresh
    return getter


def known_getter(getter):
    return getter in GETTERS or getattr(getter, "fresh", False)


# Getters must be picklable by name for the pickling operations: a fixed pool
# bound at module level.
GETTERS = []
for _serial in range(12):
    _getter = make_getter(NAMES[_serial % len(NAMES)], _serial)
    globals()[_getter.__qualname__] = _getter
    GETTERS.append(_getter)


class Manager:
    def __init__(self, owner):
        self.axes = [Item(owner), Item(owner), Item(owner)]


class Owner:
    alpha = properties.CachedProperty(GETTERS[0])
    beta = properties.cache_readonly(GETTERS[1])
    gamma = properties.CachedProperty(GETTERS[2])
    first_axis = properties.AxisProperty(0, "first")
    last_axis = properties.AxisProperty(-1)

    def __init__(self):
        self._mgr = Manager(self)

    def _set_axis(self, axis, value):
        self._mgr.axes[axis] = Item(self)  # axis 0 or -1: the list never empties


ATTRIBUTES = ("alpha", "beta", "gamma")
DESCRIPTORS = [Owner.__dict__[name] for name in ATTRIBUTES]


class Stress:
    def __init__(self, args):
        self.args = args
        self.owners = [Owner() for _ in range(args.owners)]
        self.failures = []
        self.operations = 0
        self.lock = threading.Lock()
        self.resize_lock = threading.Lock()

    def fail(self, message):
        with self.lock:
            self.failures.append(message)

    # ---- operations ----

    def read_cached(self, rng):
        owner = rng.choice(self.owners)
        name = rng.choice(ATTRIBUTES)
        try:
            value = getattr(owner, name)
        except AttributeError as error:
            # A re-initialised descriptor keyed by another name reads the
            # entry of that name; any error other than ours is a finding.
            self.fail(f"read of {name} raised {error!r}")
            return
        if type(value) is not Value:
            self.fail(f"read of {name} returned a foreign value {value!r}")
        elif value.owner is not owner:
            self.fail(f"read of {name} returned a value computed for another instance")
        elif not known_getter(value.getter):
            self.fail(f"read of {name} returned the value of an unknown getter")

    def read_axis(self, rng):
        owner = rng.choice(self.owners)
        item = owner.first_axis if rng.random() < 0.5 else owner.last_axis
        if type(item) is not Item or item.owner is not owner:
            self.fail(f"axis read returned {item!r}, not an item of this instance")

    def write_axis(self, rng):
        owner = rng.choice(self.owners)
        if rng.random() < 0.5:
            owner.first_axis = None
        else:
            owner.last_axis = None

    def resize_axes(self, rng):
        # Other threads read `axes[0]` and `axes[-1]` meanwhile; the list
        # keeps at least one item, so both reads stay in range.
        # Resizers take turns (readers do not): two concurrent pops could
        # empty the list.
        axes = rng.choice(self.owners)._mgr.axes
        with self.resize_lock:
            if len(axes) > 1 and rng.random() < 0.5:
                axes.pop(rng.randrange(len(axes)))
            elif len(axes) < 6:
                axes.insert(rng.randrange(len(axes) + 1), Item(axes[0].owner))

    def reset_cache(self, rng):
        owner = rng.choice(self.owners)
        choice = rng.randrange(4)
        if choice == 0:
            owner.__dict__.pop("_cache", None)
        elif choice == 1:
            owner._cache = None
        elif choice == 2:
            owner._cache = {}
        else:
            cache = owner.__dict__.get("_cache")
            if isinstance(cache, dict):
                cache.pop(rng.choice(NAMES), None)

    def reinitialise(self, rng):
        descriptor = rng.choice(DESCRIPTORS)
        if rng.random() < 0.5:
            descriptor.__init__(rng.choice(GETTERS))
        else:
            # A name that is a new string object, not the interned constant.
            name = "".join(list(rng.choice(NAMES)))
            descriptor.__init__(make_getter(name, rng.randrange(100), fresh=True))

    def pickle_descriptor(self, rng):
        descriptor = rng.choice(DESCRIPTORS + [Owner.__dict__["first_axis"], Owner.__dict__["last_axis"]])
        how = rng.randrange(3)
        if how == 0:
            try:
                data = pickle.dumps(descriptor)
            except (pickle.PicklingError, AttributeError):
                if isinstance(descriptor, properties.CachedProperty):
                    return  # a fresh getter is a local function: not picklable by name
                raise
            rebuilt = pickle.loads(data)
        elif how == 1:
            rebuilt = copy.copy(descriptor)
        else:
            rebuilt = copy.deepcopy(descriptor)
        if type(rebuilt) is not type(descriptor):
            self.fail(f"pickling gave a {type(rebuilt).__name__}")
        elif isinstance(rebuilt, properties.CachedProperty):
            if not known_getter(rebuilt.fget) or rebuilt.name not in NAMES:
                self.fail(f"pickling gave fields {rebuilt.fget!r}, {rebuilt.name!r}")
        elif rebuilt.axis not in (0, -1):
            self.fail(f"pickling gave axis {rebuilt.axis}")

    def cycle(self, rng):
        # A class whose descriptor's getter refers back to the class: only the
        # collector can free it, through the descriptor's traverse and clear.
        namespace = {}
        getter_name = rng.choice(NAMES)

        def getter(self):
            return namespace["cls"]

        getter.__name__ = getter_name
        namespace["cls"] = type("Cyclic", (), {"value": properties.CachedProperty(getter)})
        instance = namespace["cls"]()
        if instance.value is not namespace["cls"]:
            self.fail("a cyclic getter's value was lost")

    def collect(self, rng):
        gc.collect(rng.choice([0, 1, 2]))

    def worker(self, index, barrier):
        rng = random.Random(f"{self.args.seed}:{index}")
        operations = [
            (self.read_cached, 40),
            (self.read_axis, 20),
            (self.write_axis, 8),
            (self.resize_axes, 8),
            (self.reset_cache, 8),
            (self.reinitialise, 6),
            (self.pickle_descriptor, 8),
            (self.cycle, 4),
            (self.collect, 1),
        ]
        choices = [operation for operation, weight in operations for _ in range(weight)]
        barrier.wait()
        done = 0
        try:
            for _ in range(self.args.operations):
                rng.choice(choices)(rng)
                done += 1
        except Exception:  # noqa: BLE001 - any escape is a finding
            self.fail(f"thread {index}: {traceback.format_exc()}")
        with self.lock:
            self.operations += done

    def final_check(self):
        # Quiet now: every read returns what the owner's cache holds.
        for owner in self.owners:
            for name in ATTRIBUTES:
                value = getattr(owner, name)
                descriptor = Owner.__dict__[name]
                cache = owner.__dict__.get("_cache")
                if not isinstance(cache, dict) or cache.get(descriptor.name) is not value:
                    self.fail(f"after the run, {name} does not read the cached entry")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=16)
    parser.add_argument("--operations", type=int, default=25_000, help="per thread")
    parser.add_argument("--owners", type=int, default=6)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args(argv)
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(2**32)

    sys.setswitchinterval(1e-6)
    stress = Stress(args)
    barrier = threading.Barrier(args.threads)
    threads = [threading.Thread(target=stress.worker, args=(i, barrier)) for i in range(args.threads)]
    started = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed = time.monotonic() - started
    stress.final_check()
    for failure in stress.failures[:20]:
        print(f"FAILED: {failure}")
    print(
        f"threads: {args.threads} threads x {args.operations} operations "
        f"({stress.operations} done), {len(stress.failures)} failures, seed {args.seed}, {elapsed:.1f} s"
    )
    return 1 if stress.failures or stress.operations != args.threads * args.operations else 0


if __name__ == "__main__":
    sys.exit(main())
