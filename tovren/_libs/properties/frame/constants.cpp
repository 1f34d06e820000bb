#include "constants.h"

#include "owned_reference.h"

namespace tovren {

namespace {

struct ConstantText {
  const char* text;
  bool interned;
};

constexpr ConstantText kConstantTexts[] = {
#define TOVREN_PLAIN(identifier, text) {text, false},
#define TOVREN_INTERNED(identifier, text) {text, true},
    TOVREN_PLAIN_TEXTS(TOVREN_PLAIN) TOVREN_INTERNED_NAMES(TOVREN_INTERNED)
#undef TOVREN_PLAIN
#undef TOVREN_INTERNED
};
static_assert(sizeof(kConstantTexts) / sizeof(kConstantTexts[0]) == kStringConstantCount);

int store_integer(PyObject*& slot, long value) noexcept {
  PyObject* made = PyLong_FromLong(value);
  if (made == nullptr) return -1;
  replace_field(slot, made);
  return 0;
}

}  // namespace

int build_constant_table(ModuleState& state) noexcept {
  for (int i = 0; i < kStringConstantCount; ++i) {
    PyObject* text = PyUnicode_FromString(kConstantTexts[i].text);
    if (text == nullptr) return -1;
    if (kConstantTexts[i].interned) PyUnicode_InternInPlace(&text);
    replace_field(state.strings[i], text);
    if (PyObject_Hash(text) == -1) return -1;
  }
  if (store_integer(state.int_zero, 0) < 0) return -1;
  if (store_integer(state.axis_property_checksum, 0xd2e4e33) < 0) return -1;
  if (store_integer(state.cached_property_checksum, 0xef86259) < 0) return -1;
  return 0;
}

}  // namespace tovren
