// The text that a genuine encoder's dumps gives for one value, written
// natively: for exact str, int within 64 bits, finite float, None, True,
// False and exact tuples and lists of these. Both writers use it where the
// module global `json` is the genuine encoder.
#pragma once

#include "module/module.h"

#include <string>

namespace pjson {

// Appends what `encoder`'s dumps gives for `value` and returns true; returns
// false, with `out` as it was, for anything whose text it cannot prove equal
// (subclasses, ints beyond 64 bits, NaN and infinities, other types, nesting
// deeper than a chain's values need). Runs no Python code.
bool value_text_append(std::string& out, PyObject* value, JsonEncoder encoder);

}  // namespace pjson
