// The module's string constants: one declarative table, read by the C++
// compiler (through the X-macros below) and by the build's constants
// generator, which packs the texts into the compressed block that start-up
// decodes. Kinds come by position: plain texts, then interned names.
//
// Each row is X(identifier, "text"). Texts are plain ASCII/UTF-8 literals
// without escapes, so that the generator can read them as they stand.
#pragma once

// Texts that are not names: stored as plain (not interned) str objects.
#define TOVREN_PLAIN_TEXTS(X)                  \
  X(empty_string, "")                          \
  X(cant_set_attribute, "Can't set attribute") \
  X(stringsource, "<stringsource>")

// Attribute names, parameter names, qualified names and the module name:
// stored as interned str objects, so that lookups hit by identity.
#define TOVREN_INTERNED_NAMES(X)                                                    \
  X(AxisProperty, "AxisProperty")                                                   \
  X(AxisProperty_reduce_cython, "AxisProperty.__reduce_cython__")                   \
  X(AxisProperty_setstate_cython, "AxisProperty.__setstate_cython__")               \
  X(CachedProperty, "CachedProperty")                                               \
  X(CachedProperty_reduce_cython, "CachedProperty.__reduce_cython__")               \
  X(CachedProperty_setstate_cython, "CachedProperty.__setstate_cython__")           \
  X(axes, "axes")                                                                   \
  X(axis, "axis")                                                                   \
  X(cache, "_cache")                                                                \
  X(cache_readonly, "cache_readonly")                                               \
  X(dunder_dict, "__dict__")                                                        \
  X(local_dict, "_dict")                                                            \
  X(dunder_doc, "__doc__")                                                          \
  X(doc, "doc")                                                                     \
  X(fget, "fget")                                                                   \
  X(dunder_getstate, "__getstate__")                                                \
  X(mgr, "_mgr")                                                                    \
  X(dunder_name, "__name__")                                                        \
  X(dunder_new, "__new__")                                                          \
  X(module_name, "tovren._libs.properties")                                         \
  X(pyx_checksum, "__pyx_checksum")                                                 \
  X(pyx_result, "__pyx_result")                                                     \
  X(pyx_state, "__pyx_state")                                                       \
  X(pyx_type, "__pyx_type")                                                         \
  X(pyx_unpickle_AxisProperty, "__pyx_unpickle_AxisProperty")                       \
  X(pyx_unpickle_CachedProperty, "__pyx_unpickle_CachedProperty")                   \
  X(dunder_reduce, "__reduce__")                                                    \
  X(reduce_cython, "__reduce_cython__")                                             \
  X(dunder_reduce_ex, "__reduce_ex__")                                              \
  X(self, "self")                                                                   \
  X(set_axis, "_set_axis")                                                          \
  X(dunder_set_name, "__set_name__")                                                \
  X(dunder_setstate, "__setstate__")                                                \
  X(setstate_cython, "__setstate_cython__")                                         \
  X(state, "state")                                                                 \
  X(dunder_test, "__test__")                                                        \
  X(update, "update")                                                               \
  X(use_setstate, "use_setstate")
