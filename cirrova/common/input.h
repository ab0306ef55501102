// Checks of caller input that every client applies before it sends anything.
#pragma once

#include <nanobind/nanobind.h>

#include <string_view>

namespace cirrova {

namespace nb = nanobind;

// An object operation with an empty key would address the bucket itself
// (PUT creates it, DELETE removes it): ValueError instead.
void require_key(nb::handle key, const char* name = "key");

// A signed URL's lifetime in seconds (an int): ValueError unless it is
// positive and, when `max_seconds` is positive, at most `max_seconds`.
void check_lifetime(nb::handle seconds, long long max_seconds, const char* name);

// An upload body after any read(): None is refused with TypeError, since it
// would store an empty object.
void require_body(nb::handle data, const char* name = "data");

// headers[name] = value, after removing every key that equals `name` in any
// ASCII letter case: an explicit argument must not travel beside a caller's
// header of the same name. `headers` is a dict.
void set_header_replacing(nb::handle headers, PyObject* name, nb::handle value);

// In the keyword mapping of an httpx request: a raw body given as "data"
// moves to "content", the keyword httpx takes for raw bytes and text (it
// keeps "data" for form fields and deprecates raw bodies there). bytearray
// and memoryview bodies become bytes, which httpx would otherwise iterate as
// integers. Form fields (a dict) and None stay as they are.
void body_as_content(nb::dict& kwargs);

}  // namespace cirrova
