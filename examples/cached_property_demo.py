"""cache_readonly: a getter that runs once per owner instance.

The first read of `Circle.area` on a circle calls the getter and keeps the
result in that circle's `_cache` dict under the getter's name; later reads
return the kept object. Each instance has its own cache, assignment is refused,
and removing the entry from `_cache` makes the next read compute again.
"""

import math

from tovren._libs.properties import CachedProperty, cache_readonly


class Circle:
    def __init__(self, radius):
        self.radius = radius
        self.area_computations = 0

    @cache_readonly
    def area(self):
        """Area of the circle, computed on first use."""
        self.area_computations += 1
        return math.pi * self.radius**2


def main():
    small, large = Circle(1.0), Circle(10.0)

    first = small.area
    second = small.area
    print(f"small.area = {first:.4f}, read twice, getter ran {small.area_computations} time(s)")
    assert first is second and small.area_computations == 1
    assert small._cache == {"area": first}

    print(f"large.area = {large.area:.4f}, its own cache: {large._cache}")
    assert large.area_computations == 1 and small.area_computations == 1

    # The class attribute is the descriptor itself; cache_readonly is CachedProperty.
    descriptor = Circle.area
    assert type(descriptor) is CachedProperty and cache_readonly is CachedProperty
    print(f"Circle.area is a {type(descriptor).__name__} for {descriptor.name!r}: {descriptor.__doc__}")

    try:
        small.area = 0.0
    except AttributeError as error:
        print(f"small.area = 0.0 -> AttributeError: {error}")
    else:
        raise AssertionError("assignment to a cached property must fail")
    assert small.area is first

    # Invalidation is the owner's business: drop the entry (or the whole _cache).
    small.radius = 2.0
    del small._cache["area"]
    print(f"after resizing and dropping the entry: small.area = {small.area:.4f}, "
          f"getter ran {small.area_computations} time(s)")
    assert small.area_computations == 2 and math.isclose(small.area, 4 * math.pi)


if __name__ == "__main__":
    main()
