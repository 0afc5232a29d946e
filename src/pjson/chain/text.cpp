// The Python side of the tokenizer: the token list of tesmo.train.tokenize,
// and the scanner's entry for any sink.
#include "chain/text_scan.h"

#include <string>

namespace pjson {

namespace {

// Collects the tokens as Python objects.
class ListSink {
public:
    explicit ListSink(PyObject* list) : list_(list) {}
    void token(const char32_t* text, size_t length) {
        Ref s = check(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text, static_cast<Py_ssize_t>(length)));
        check_status(PyList_Append(list_, s.get()));
    }
    void boundary() { check_status(PyList_Append(list_, Py_None)); }

private:
    PyObject* list_;
};

}  // namespace

void tokenize_sources(PyObject* sources, TokenSink& sink) { text_scan::tokenize_with(sources, sink); }

PyObject* mod_tokenize(PyObject*, PyObject* sources) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        Ref list = check(PyList_New(0));
        ListSink sink(list.get());
        text_scan::tokenize_with(sources, sink);
        return list.release();
    });
}

}  // namespace pjson