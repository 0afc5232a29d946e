// The compact pair: the whole document converted in memory and handed to
// one encoder call, or parsed by one decoder call.
#pragma once

#include "module/module.h"

namespace pjson {

void compact_dump(const Globals& globals, const CallArgs& args);  // dump_json_small
void compact_load(const Globals& globals, const CallArgs& args);  // load_json_small

}  // namespace pjson
