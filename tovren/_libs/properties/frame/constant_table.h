// The module's constants: one declarative table, read by the C++ compiler
// (through the X-macros below) and by the build's constants generator
// (frame/generate_constants.py), which packs every entry into the compressed
// block that start-up decodes. Kinds come by position: plain texts, then
// interned names, then the line tables of the code objects.
//
// String rows are X(identifier, "text"). Texts are plain ASCII/UTF-8 literals
// without escapes, so that the generator can read them as they stand; each
// encodes to fewer than 256 bytes.
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

// Line tables of the six code objects, in FunctionId order. Rows are
// X(function, first line, "line:start-end ..."): one item per code unit,
// giving its source line and its start and end column. The generator encodes
// them in the interpreter's location-table format (co_linetable), one entry
// per code unit; `co_lines()` then reports exactly the lines listed here.
// The first unit must lie on the first line. Columns are illustrative: only
// the lines are part of the module's interface.
#define TOVREN_LINE_TABLES(X)                                                            \
  X(CachedProperty_reduce_cython, 1,                                                     \
    "1:0-1 5:13-17 5:13-21 5:23-27 5:23-32 5:34-38 5:34-43 5:12-44 5:4-9 "               \
    "6:12-19 6:20-24 6:26-36 6:38-42 6:12-43 6:4-9 7:7-12 7:16-20 7:7-20 "               \
    "8:8-13 8:18-23 8:17-25 8:8-13 9:23-27 9:8-20 "                                      \
    "11:23-27 11:23-31 11:35-39 11:23-39 11:43-47 11:43-52 11:56-60 11:8-20 "            \
    "12:11-23 12:11-23 13:19-29 13:19-31 13:32-36 13:41-50 13:52-56 13:58-63 "           \
    "13:15-64 13:8-64 15:15-24 15:25-29 15:30-41 15:15-23 15:27-31 15:27-41 "            \
    "15:43-48 15:49-55 15:57-61 15:62-70 15:14-20 15:8-14 15:8-13 15:8-14")              \
  X(CachedProperty_setstate_cython, 16, "16:0-1 17:4-44 17:44-45 17:45-51 17:51-52")    \
  X(AxisProperty_reduce_cython, 1,                                                       \
    "1:0-1 5:13-17 5:13-22 5:24-28 5:24-32 5:12-33 5:4-9 "                               \
    "6:12-19 6:20-24 6:26-36 6:38-42 6:12-43 6:4-9 7:7-12 7:16-20 7:7-20 "               \
    "8:8-13 8:18-23 8:17-25 8:8-13 9:23-27 9:8-20 11:23-27 11:23-31 11:35-39 11:8-20 "   \
    "12:11-23 12:11-23 13:19-29 13:19-31 13:32-36 13:41-50 13:52-56 13:15-27 13:8-15 "   \
    "15:15-24 15:25-29 15:30-41 15:15-23 15:27-31 15:27-41 15:43-48 15:14-20 15:8-14")   \
  X(AxisProperty_setstate_cython, 16, "16:0-1 17:4-42 17:42-43 17:43-49 17:49-50")      \
  X(unpickle_CachedProperty, 4,                                                          \
    "4:0-1 6:19-29 6:4-10 6:11-18 6:4-32 7:7-21 7:25-34 7:37-48 7:4-49 "                 \
    "8:17-37 8:38-45 8:46-56 8:17-57 8:4-14 9:7-18 9:22-30 9:7-30 "                      \
    "10:8-20 10:21-29 10:30-42 10:44-50 10:51-63 10:65-77 10:8-15")                      \
  X(unpickle_AxisProperty, 4,                                                            \
    "4:0-1 6:19-29 6:4-10 6:11-18 6:4-32 7:7-21 7:25-34 7:37-48 7:4-49 "                 \
    "8:17-37 8:38-45 8:46-56 8:30-42 8:4-14 9:7-18 9:22-30 9:7-20 "                      \
    "10:8-20 10:21-29 10:30-40 10:42-48 10:49-61 10:63-75 10:8-15")
