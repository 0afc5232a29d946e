// dump_json_small's native writers, for an exact native chain and the
// genuine ujson: the document rendered straight from the chain's blocks,
// byte for byte what ujson.dump writes of the converted chain, and handed to
// the file in the same one call of its write.
#pragma once

#include "document/native_chain.h"
#include "document/value_text.h"

#include <string>

namespace pjson {

// The chain's array rendered from its blocks, values looked up in `codes`
// when `compress`; false, with nothing observable done, when that cannot be
// proved to match the general path. Runs no Python code.
bool render_native_chain(const Globals& globals, PyObject* chain, PyObject* codes, bool compress, TextWriter& out);

// The whole of dump_json_small by id, where nothing of it can run Python
// code; false, with nothing observable done, when it cannot stand in.
bool dump_by_id(const TesmoChainAPI* api, PyObject* chain, PyObject* file, bool compress);

// What ujson.dump does around its rendering: "expected file" unless the file
// has a callable write, then one write of the whole text.
void write_like_ujson(PyObject* file, PyObject* str);
void write_like_ujson(PyObject* file, const std::string& text);

}  // namespace pjson
