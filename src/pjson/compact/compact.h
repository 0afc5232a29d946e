// The compact pair: the whole document converted in memory and handed to
// one encoder call, or parsed by one decoder call. Where the module global
// `json` is still the genuine encoder bound at import, both functions stand
// in for it natively, with the same calls on the caller's objects and the
// same results.
#pragma once

#include "module/module.h"

namespace pjson {

void compact_dump(const Globals& globals, const CallArgs& args);  // dump_json_small
void compact_load(const Globals& globals, const CallArgs& args);  // load_json_small

// Reads the text [begin, end) of a document in one pass into a build of
// `chain`'s content through the chain's C API (replace mode, or `merge`),
// handed to the chain at the end. False, the chain left as it was, when the
// text holds anything the pass does not reproduce as the general path would.
bool compact_build_text(const TesmoChainAPI& api, PyObject* chain, bool merge, const char* begin, const char* end);

// Start-up: records in `state.json` whether `state.imported_json` is the
// genuine `kind` of encoder and keeps the functions a native path stands in
// for. Looks only into the module's namespace, so it adds no step of its own.
void compact_note_json(State& state, JsonEncoder kind);

// The encoder that `json` (the global as just read) genuinely is, or nullptr
// when a native path must not stand in for it: another object, or one whose
// `load` (reading) or `dump` (writing) was replaced since import.
const ImportedJson* genuine_json_for_load(const Globals& globals, PyObject* json);
const ImportedJson* genuine_json_for_dump(const Globals& globals, PyObject* json);

// The file's method `name` ("read" or "write") as ujson asks for it before
// it reads or writes: TypeError "expected file" unless the file has the
// attribute and it is callable.
Ref ujson_file_method(PyObject* file, const char* name);

}  // namespace pjson
