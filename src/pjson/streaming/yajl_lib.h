// yajl's interface as the streaming reader's native source calls it: the
// entry points of the copy that ijson's yajl2_cffi backend loaded, and what
// the two halves of the source share (yajl_backend.cpp finds the library and
// holds the callbacks; yajl_source.cpp runs the parse).
#pragma once

#include "streaming/yajl_source.h"

namespace pjson {

// yajl 2's interface (yajl_parse.h), declared here: the module neither
// builds nor links against the library, it calls the entry points of the
// copy that the backend loaded.
struct yajl_handle_t;
using yajl_handle = yajl_handle_t*;
enum yajl_status { yajl_status_ok, yajl_status_client_canceled, yajl_status_error };

struct yajl_callbacks {
    int (*yajl_null)(void* ctx);
    int (*yajl_boolean)(void* ctx, int value);
    int (*yajl_integer)(void* ctx, long long value);
    int (*yajl_double)(void* ctx, double value);
    int (*yajl_number)(void* ctx, const char* text, size_t len);
    int (*yajl_string)(void* ctx, const unsigned char* text, size_t len);
    int (*yajl_start_map)(void* ctx);
    int (*yajl_map_key)(void* ctx, const unsigned char* text, size_t len);
    int (*yajl_end_map)(void* ctx);
    int (*yajl_start_array)(void* ctx);
    int (*yajl_end_array)(void* ctx);
};

struct YajlSource::Lib {
    yajl_handle (*alloc)(const yajl_callbacks* callbacks, const void* alloc_funcs, void* ctx);
    yajl_status (*parse)(yajl_handle handle, const unsigned char* text, size_t len);
    yajl_status (*complete_parse)(yajl_handle handle);
    unsigned char* (*get_error)(yajl_handle handle, int verbose, const unsigned char* text, size_t len);
    void (*free_error)(yajl_handle handle, unsigned char* error);
    void (*free)(yajl_handle handle);
};

// The callbacks this source gives yajl_alloc.
const yajl_callbacks* yajl_source_callbacks() noexcept;

inline Ref call(PyObject* callable, PyObject* arg) { return check(PyObject_CallOneArg(callable, arg)); }

// The cffi cdata `ffi.cast(ctype, address)`.
inline Ref cast(PyObject* ffi, const char* ctype, PyObject* value) {
    Ref type = check(PyUnicode_FromString(ctype));
    Ref cast_fn = get_attr(ffi, "cast");
    return check(PyObject_CallFunctionObjArgs(cast_fn.get(), type.get(), value, nullptr));
}

// An integer of at most 18 characters fits a long long.
constexpr size_t kMaxShortInteger = 18;

}  // namespace pjson
