#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/text_objects.h"

#include <cstring>

#include "text/transcode.h"

namespace marlune::module {
namespace {

// Below this size the interpreter's own decoder is as quick, and it hands out its shared
// empty and one-character strings.
constexpr std::size_t kOwnDecoderMinimum = 64;

OwnedRef decode_by_interpreter(std::string_view text) {
  return OwnedRef::steal(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace

OwnedRef make_str(std::string_view text) {
  return decode_by_interpreter(text);
}

OwnedRef make_wide_str(std::string_view text) {
  if (text.size() < kOwnDecoderMinimum) return decode_by_interpreter(text);
  // The string is made at once in its final, narrowest kind, which the interpreter's decoder
  // reaches only by widening, and then writes a wide character at a time. One pass over the
  // text finds the length and the kind (exact for valid UTF-8), a second one decodes it.
  return make_str_of_shape(text, text::utf8_shape(text));
}

OwnedRef make_str_of_shape(std::string_view text, text::Utf8Shape shape) {
  if (text.size() < kOwnDecoderMinimum) return decode_by_interpreter(text);
  // ASCII text is one character per byte; a count that says otherwise is no ASCII shape.
  if (shape.width == text::CharWidth::Ascii && shape.chars != text.size()) {
    return decode_by_interpreter(text);
  }
  Py_UCS4 largest = 0x7F;
  switch (shape.width) {
    case text::CharWidth::Ascii:
      break;
    case text::CharWidth::Latin1:
      largest = 0xFF;
      break;
    case text::CharWidth::Ucs2:
      largest = 0xFFFF;
      break;
    case text::CharWidth::Ucs4:
      largest = 0x10FFFF;
      break;
  }
  OwnedRef str = OwnedRef::steal(PyUnicode_New(static_cast<Py_ssize_t>(shape.chars), largest));
  if (!str) return {};
  void* data = PyUnicode_DATA(str.get());
  bool decoded = false;
  switch (shape.width) {
    case text::CharWidth::Ascii:
      // No byte above 0x7F: the text is its own ASCII form, one character per byte.
      std::memcpy(data, text.data(), text.size());
      decoded = true;
      break;
    case text::CharWidth::Latin1:
      decoded = text::utf8_to_latin1(text, static_cast<std::uint8_t*>(data), shape.chars);
      break;
    case text::CharWidth::Ucs2:
      decoded = text::utf8_to_ucs2(text, static_cast<std::uint16_t*>(data), shape.chars);
      break;
    case text::CharWidth::Ucs4:
      decoded = text::utf8_to_ucs4(text, static_cast<std::uint32_t*>(data), shape.chars);
      break;
  }
  if (decoded) return str;
  // Not valid UTF-8: the interpreter's decoder raises its own error for it.
  return decode_by_interpreter(text);
}

}  // namespace marlune::module
