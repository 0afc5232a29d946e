#include "streaming/stream_output.h"

namespace pjson {

bool is_plain_text_file(PyObject* file) {
    Ref io = check(PyImport_ImportModule("io"));
    bool exact = false;
    for (const char* name : {"StringIO", "TextIOWrapper"}) {
        Ref type = get_attr(io.get(), name);
        exact = exact || Py_IS_TYPE(file, reinterpret_cast<PyTypeObject*>(type.get()));
    }
    if (!exact) return false;
    Ref write = get_attr(file, "write");
    Ref own = get_attr(reinterpret_cast<PyObject*>(Py_TYPE(file)), "write");
    return PyCFunction_Check(write.get()) && PyCFunction_GET_SELF(write.get()) == file &&
           Py_IS_TYPE(own.get(), &PyMethodDescr_Type) &&
           reinterpret_cast<PyCFunctionObject*>(write.get())->m_ml ==
               reinterpret_cast<PyMethodDescrObject*>(own.get())->d_method;
}

}  // namespace pjson
