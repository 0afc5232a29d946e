// The native stand-in for ijson's ObjectBuilder.
#include "streaming/streaming.h"

namespace pjson {

void EventBuilder::add(PyObject* item) {
    if (containers_.empty()) {
        value_.reset_borrowed(item);
        return;
    }
    PyObject* top = containers_.back().get();
    if (PyList_CheckExact(top)) {
        check_status(PyList_Append(top, item));
        return;
    }
    if (!key_) {
        PyErr_SetString(PyExc_AttributeError, "'ObjectBuilder' object has no attribute 'key'");
        throw_error();
    }
    check_status(PyDict_SetItem(top, key_.get(), item));
}

void EventBuilder::event(Event kind, PyObject* value) {
    switch (kind) {
        case Event::MapKey: key_.reset_borrowed(value); return;
        case Event::StartMap:
        case Event::StartArray: {
            Ref container = check(kind == Event::StartMap ? PyDict_New() : PyList_New(0));
            add(container.get());
            containers_.push_back(std::move(container));
            return;
        }
        case Event::EndMap:
        case Event::EndArray:
            if (containers_.empty()) {
                PyErr_SetString(PyExc_IndexError, "pop from empty list");
                throw_error();
            }
            containers_.pop_back();
            return;
        default: add(value); return;
    }
}

}  // namespace pjson
