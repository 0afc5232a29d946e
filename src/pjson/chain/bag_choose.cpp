// choose(): the running totals of a bag's counts, the draw, and the pick
// that survives whatever rng.random() does.
#include "chain/block.h"

#include <algorithm>
#include <cmath>

namespace pjson {

namespace {

// x < a for a float and an int, exactly, as Python compares them.
bool float_less_than(double x, int64_t a) {
    if (std::isnan(x)) return false;
    if (x >= 9223372036854775808.0) return false;
    if (x < -9223372036854775808.0) return true;
    // For an integer a: a > x exactly when a > floor(x).
    return static_cast<int64_t>(std::floor(x)) < a;
}

[[noreturn]] void raise_no_positive() {
    PyErr_SetString(PyExc_ValueError, "cannot choose from a bag without positive counts");
    throw_error();
}

[[noreturn]] void raise_index() {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    throw_error();
}

Ref call_random(State* st, PyObject* rng) {
    PyObject* args[1] = {rng};
    return check(PyObject_VectorcallMethod(st->s_random, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// bisect_right's steps, so that running totals that are not sorted (negative
// counts) give the same index.
template <class Less>
size_t bisect_right(size_t n, Less x_less_than_item) {
    size_t lo = 0, hi = n;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (x_less_than_item(mid))
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo;
}

Ref choose_objects(State* st, BagData* d, PyObject* rng) {
    BagExtra& x = extra_of(d);
    Ref snapshot = Ref::borrow(x.snapshot);
    if (!snapshot) {
        size_t n = d->size;
        std::vector<Ref> starts, running;
        starts.reserve(n);
        running.reserve(n);
        // The next starts first, then list(accumulate(counts)): each total is
        // the previous one + the count, read when it is reached. The
        // additions may change the bag; a bag that grew or shrank stops the
        // iteration, as a dict's values do.
        for (size_t i = 0; i < n; ++i) {
            if (d->size != n) raise_changed("ProbabilityBag");
            starts.push_back(bag_next_start(d, i));
        }
        Ref total;
        for (size_t i = 0; i < n; ++i) {
            if (d->size != n) raise_changed("ProbabilityBag");
            Ref c = bag_count(d, i);
            total = total ? check(PyNumber_Add(total.get(), c.get())) : std::move(c);
            running.push_back(Ref::borrow(total.get()));
        }
        // Kept even if an add ran meanwhile: the totals as they were read.
        // Tuples, since the collector hands what the bag holds to anyone.
        snapshot = check(PyTuple_Pack(2, tuple_of(starts).get(), tuple_of(running).get()));
        Graveyard graves;
        BagExtra& kept = extra_of(d);
        if (kept.snapshot != nullptr) graves.bury(kept.snapshot);
        kept.snapshot = Ref::borrow(snapshot.get()).release();
    }
    PyObject* starts = PyTuple_GET_ITEM(snapshot.get(), 0);
    PyObject* running = PyTuple_GET_ITEM(snapshot.get(), 1);
    Py_ssize_t n = PyTuple_GET_SIZE(running);
    if (n == 0) raise_no_positive();
    Ref last = Ref::borrow(PyTuple_GET_ITEM(running, n - 1));
    if (check_status(PyObject_RichCompareBool(last.get(), st->zero, Py_LE))) raise_no_positive();
    Ref r = call_random(st, rng);
    Ref point = check(PyNumber_Multiply(r.get(), last.get()));
    size_t index = bisect_right(static_cast<size_t>(n), [&](size_t mid) {
        Ref item = Ref::borrow(PyTuple_GET_ITEM(running, static_cast<Py_ssize_t>(mid)));
        return check_status(PyObject_RichCompareBool(point.get(), item.get(), Py_LT)) == 1;
    });
    if (index >= static_cast<size_t>(PyTuple_GET_SIZE(starts))) raise_index();
    return Ref::borrow(PyTuple_GET_ITEM(starts, static_cast<Py_ssize_t>(index)));
}

// Marks a block as drawn from while a pick runs: the bag leaves such a block
// to the pick when __init__ empties it (bag_renew), so that whatever
// rng.random() does, the choice drawn stays where the totals found it.
class Drawing {
public:
    explicit Drawing(BagData* d) noexcept : pin_(d) { ++d->picks; }
    Drawing(const Drawing&) = delete;
    Drawing& operator=(const Drawing&) = delete;
    ~Drawing() { --pin_.get()->picks; }

private:
    BagPin pin_;
};

}  // namespace

Pick bag_pick(State* st, BagData* d, PyObject* rng) {
    Drawing drawing(d);
    BagExtra* x = d->extra;
    if (x != nullptr && (x->object_counts > 0 || x->snapshot != nullptr)) return Pick{0, choose_objects(st, d, rng)};
    if (x == nullptr || !x->running) {
        Totals running(d->size);
        int64_t total = 0;
        bool rising = true;
        for (size_t i = 0; i < d->size; ++i) {
            int64_t count = count_at(d, i);
            if (__builtin_add_overflow(total, count, &total)) return Pick{0, choose_objects(st, d, rng)};
            (*running)[i] = total;
            rising = rising && count >= 0;
        }
        if (rising)
            for (size_t end = Totals::kStep; end <= d->size; end += Totals::kStep)
                running.tops().push_back((*running)[end - 1]);
        extra_of(d).running = std::move(running);
    }
    // The totals as they were before rng.random() ran, which may add to the bag.
    const Totals running = d->extra->running;
    size_t n = running->size();
    if (n == 0 || running->back() <= 0) raise_no_positive();
    int64_t total = running->back();
    Ref r = call_random(st, rng);
    size_t index;
    if (PyFloat_CheckExact(r.get())) {
        double point = PyFloat_AS_DOUBLE(r.get()) * static_cast<double>(total);
        // Rising totals: `point < total` holds from one index on, which any
        // search finds alike; the steps narrow it down to one of them.
        const std::vector<int64_t>& tops = running.tops();
        size_t step = bisect_right(tops.size(), [&](size_t mid) { return float_less_than(point, tops[mid]); });
        size_t lo = tops.empty() ? 0 : step * Totals::kStep;
        size_t span = tops.empty() ? n : std::min(n - lo, Totals::kStep);
        index = lo + bisect_right(span, [&](size_t mid) { return float_less_than(point, (*running)[lo + mid]); });
    } else {
        Ref last = check(PyLong_FromLongLong(total));
        Ref point = check(PyNumber_Multiply(r.get(), last.get()));
        index = bisect_right(n, [&](size_t mid) {
            Ref item = check(PyLong_FromLongLong((*running)[mid]));
            return check_status(PyObject_RichCompareBool(point.get(), item.get(), Py_LT)) == 1;
        });
    }
    if (index >= n || index >= d->size) raise_index();
    return Pick{index, Ref()};
}

Ref bag_choose(State* st, BagData* d, PyObject* rng) {
    BagPin pin(d);
    Pick pick = bag_pick(st, d, rng);
    return pick.next_start ? std::move(pick.next_start) : bag_next_start(d, pick.index);
}

}  // namespace pjson
