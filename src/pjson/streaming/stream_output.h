// Where dump_json_big's pieces go: gathered into large writes for a plain
// text file, one write per piece for any other file.
#pragma once

#include "document/code_table.h"
#include "document/native_chain.h"
#include "document/value_text.h"
#include "streaming/streaming.h"

#include <string>
#include <utility>

namespace pjson {

constexpr size_t kGatherLimit = 64 * 1024;

// Whether `file` is exactly an io.StringIO or io.TextIOWrapper whose write
// is its type's own (not one set on the instance).
bool is_plain_text_file(PyObject* file);

// The native entry whose block is being read, told before anything that may
// run Python code, so that the entry's bag object is held from then on
// (NativeEntries::keep_bag). Making it may run code, which `ran` is told of.
class BagKeeper {
public:
    explicit BagKeeper(DumpsStandIn& ran) noexcept : ran_(ran) {}
    void watch(NativeEntries* entries, NativeEntry* entry) noexcept {
        entries_ = entries;
        entry_ = entry;
    }
    void before_python() {
        if (entry_ != nullptr && entries_->keep_bag(*entry_)) ran_.python_ran();
    }

private:
    DumpsStandIn& ran_;
    NativeEntries* entries_ = nullptr;
    NativeEntry* entry_ = nullptr;
};

// Where the pieces go. Such a plain text file gets them gathered into writes
// of at most 64 KiB, since a call of write per piece is most of what writing
// it costs; a piece that is not ASCII text is written alone, as it comes, so
// that an encoding error reads as it would for that piece. Every other file
// gets one write per piece. `write` is fetched afresh for every call, and
// `stand_in` learns of each, since a file's write may run any code.
//
// A piece is formed in place, after what is gathered: open() marks where it
// begins, close() hands it on. A piece left open when something fails is
// dropped, never written.
class Output {
public:
    Output(const Names& names, PyObject* file, DumpsStandIn& stand_in, BagKeeper& keeper)
        : names_(names), file_(file), stand_in_(stand_in), keeper_(keeper), gathering_(is_plain_text_file(file)) {}

    // The text a piece is formed in, between open() and close().
    std::string& text() noexcept { return text_; }
    // Whether pieces are gathered: then close() runs no Python code until
    // the gathered text reaches the limit.
    bool gathering() const noexcept { return gathering_; }

    // Begins a piece, or begins the open one anew.
    void open() {
        if (mark_ != kNone)
            text_.resize(mark_);
        else
            mark_ = text_.size();
    }

    void close(bool ascii) {
        const size_t mark = std::exchange(mark_, kNone);
        const bool gather = gathering_ && ascii && text_.size() - mark <= kGatherLimit;
        if (gather && text_.size() <= kGatherLimit) return;
        std::string piece(text_.data() + mark, text_.size() - mark);
        text_.resize(mark);
        flush();
        if (gather) {
            text_ = std::move(piece);
            return;
        }
        keeper_.before_python();
        Ref str = make_str(piece, ascii);
        write(str.get());
    }

    // A piece of ASCII text appended straight to text() from `mark` on,
    // where no piece is open: handed on as close() would, which for a
    // gathering file keeps it while the text stays within the limit.
    void ended(size_t mark) {
        if (gathering_ && text_.size() <= kGatherLimit) return;
        mark_ = mark;
        close(true);
    }

    // A piece of ASCII text.
    void piece(const char* text, size_t length) {
        open();
        text_.append(text, length);
        close(true);
    }

    // Drops the piece being formed.
    void drop_open() {
        if (mark_ != kNone) text_.resize(std::exchange(mark_, kNone));
    }

    void piece(PyObject* text) {
        drop_open();
        if (gathering_ && PyUnicode_Check(text) && PyUnicode_IS_ASCII(text)) {
            open();
            text_.append(static_cast<const char*>(PyUnicode_DATA(text)),
                         static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
            close(true);
            return;
        }
        write_now(text);
    }

    // Writes what was gathered, then `text`.
    void write_now(PyObject* text) {
        drop_open();
        flush();
        write(text);
    }

    void flush() {
        if (text_.empty()) return;
        keeper_.before_python();
        Ref text = make_str(text_, true);
        text_.clear();
        write(text.get());
    }

    // After a failure the file gets what was gathered, so that it holds the
    // document up to the failure; the failure stays the error raised, and
    // an error of this last write goes to sys.unraisablehook.
    void flush_after_failure() {
        drop_open();
        if (text_.empty()) return;
        SavedError failure;
        if (PyErr_Occurred()) failure.fetch();
        try {
            flush();
        } catch (PyError&) {
            PyErr_WriteUnraisable(file_);
        } catch (std::bad_alloc&) {
        }
        if (failure) failure.restore();
    }

private:
    static constexpr size_t kNone = static_cast<size_t>(-1);

    void write(PyObject* text) {
        keeper_.before_python();
        stand_in_.python_ran();
        write_piece(names_, file_, text);
    }

    const Names& names_;
    PyObject* file_;
    DumpsStandIn& stand_in_;
    BagKeeper& keeper_;
    const bool gathering_;
    std::string text_;  // what is gathered, then the piece being formed
    size_t mark_ = kNone;
};

}  // namespace pjson
