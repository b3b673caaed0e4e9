// Cypher's aggregates: one Accumulator per group and aggregate.
//
// The numeric ones keep C accumulators while they can (a long long sum until
// it would overflow, a double for floats) and fall back to Python ints,
// which do not overflow. DISTINCT keeps a set of the values seen, keyed by
// `hash` and compared by `equivalent`, so that 1 and 1.0 count once; null is
// never counted. min and max order by the global sort order of values, as
// ORDER BY does.
#include <algorithm>
#include <cmath>
#include <vector>

#include "cypher/functions.hpp"
#include "cypher/values_internal.hpp"

namespace vk::cypher {

namespace {

constexpr AggregateInfo kAggregates[] = {
    {"count", AggKind::Count, 1, 1},
    {"sum", AggKind::Sum, 1, 1},
    {"avg", AggKind::Avg, 1, 1},
    {"min", AggKind::Min, 1, 1},
    {"max", AggKind::Max, 1, 1},
    {"collect", AggKind::Collect, 1, 1},
    {"stdev", AggKind::StDev, 1, 1},
    {"stdevp", AggKind::StDevP, 1, 1},
    {"percentilecont", AggKind::PercentileCont, 2, 2},
    {"percentiledisc", AggKind::PercentileDisc, 2, 2},
};

}  // namespace

const AggregateInfo* find_aggregate(std::string_view lowercase_name) {
    for (const AggregateInfo& a : kAggregates)
        if (lowercase_name == a.name) return &a;
    return nullptr;
}

// ----- aggregates -------------------------------------------------------------------

namespace {

// The distinct values met, by equivalence: open addressing over `hash`.
class ValueSet {
public:
    // 1: new (now held), 0: met before, -1 failed.
    int insert(PyObject* v) {
        const Py_hash_t h = hash(v);
        if (h == -1) return -1;
        if ((count_ + 1) * 4 > slots_.size() * 3) grow();
        size_t i = static_cast<size_t>(h) & (slots_.size() - 1);
        for (;; i = (i + 1) & (slots_.size() - 1)) {
            Slot& s = slots_[i];
            if (!s.value) break;
            if (s.hash != h) continue;
            // The == of a value of no Cypher kind may run code that grows
            // nothing here (no Python code can reach this set), so the slot
            // stays put.
            const int eq = equivalent(s.value.get(), v);
            if (eq != 0) return eq < 0 ? -1 : 0;
        }
        slots_[i] = {h, Ref::borrow(v)};
        ++count_;
        return 1;
    }
    int traverse(visitproc visit, void* arg) const {
        for (const Slot& s : slots_) Py_VISIT(s.value.get());
        return 0;
    }

private:
    struct Slot {
        Py_hash_t hash = 0;
        Ref value;
    };
    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_ = std::vector<Slot>(old.empty() ? 8 : old.size() * 2);
        for (Slot& s : old) {
            if (!s.value) continue;
            size_t i = static_cast<size_t>(s.hash) & (slots_.size() - 1);
            while (slots_[i].value) i = (i + 1) & (slots_.size() - 1);
            slots_[i] = std::move(s);
        }
    }
    std::vector<Slot> slots_;
    size_t count_ = 0;
};

class Base : public Accumulator {
public:
    explicit Base(bool distinct) : distinct_(distinct) {}
    int traverse(visitproc visit, void* arg) const override {
        if (distinct_) return seen_.traverse(visit, arg);
        return 0;
    }

protected:
    // 1: the value takes part (not null; new when DISTINCT), 0: skipped, -1 failed.
    int admit(PyObject* v) {
        if (v == Py_None) return 0;
        return distinct_ ? seen_.insert(v) : 1;
    }
    bool distinct_;
    ValueSet seen_;
};

class CountAcc : public Base {
public:
    CountAcc(bool star, bool distinct) : Base(distinct), star_(star) {}
    Status add(PyObject* const* args, size_t) override {
        if (star_) {
            ++n_;
            return ok_status();
        }
        const int a = admit(args[0]);
        if (a < 0) return PyErrorSet{};
        n_ += static_cast<uint64_t>(a);
        return ok_status();
    }
    PyObject* finish() override { return PyLong_FromUnsignedLongLong(n_); }

private:
    bool star_;
    uint64_t n_ = 0;
};

// Sum and average: integers exactly (a long long while it does not
// overflow, then a Python int), floats in a double.
class SumAcc : public Base {
public:
    SumAcc(bool avg, bool distinct) : Base(distinct), avg_(avg) {}
    Status add(PyObject* const* args, size_t) override {
        PyObject* v = args[0];
        const int a = admit(v);
        if (a <= 0) return a < 0 ? Status(PyErrorSet{}) : ok_status();
        ++n_;
        if (PyFloat_Check(v)) {
            any_float_ = true;
            fsum_ += PyFloat_AS_DOUBLE(v);
            return ok_status();
        }
        if (!is_int_value(v)) {
            type_error_arg(avg_ ? "avg" : "sum", "numbers", v);
            return PyErrorSet{};
        }
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (x == -1 && PyErr_Occurred()) return PyErrorSet{};
        long long r;
        if (!overflow && !__builtin_add_overflow(isum_, x, &r)) {
            isum_ = r;
            return ok_status();
        }
        // Move what the long long holds into the Python int, then add there.
        Ref part = Ref::steal(PyLong_FromLongLong(isum_));
        if (!part) return PyErrorSet{};
        isum_ = 0;
        Ref t = Ref::steal(big_ ? PyLong_Type.tp_as_number->nb_add(big_.get(), part.get())
                                : part.release());
        if (!t) return PyErrorSet{};
        big_ = Ref::steal(PyLong_Type.tp_as_number->nb_add(t.get(), v));
        return big_ ? ok_status() : Status(PyErrorSet{});
    }
    PyObject* finish() override {
        if (avg_ && n_ == 0) Py_RETURN_NONE;
        Ref total = Ref::steal(PyLong_FromLongLong(isum_));
        if (!total) return nullptr;
        if (big_) {
            total = Ref::steal(PyLong_Type.tp_as_number->nb_add(total.get(), big_.get()));
            if (!total) return nullptr;
        }
        if (any_float_) {
            const double i = PyLong_AsDouble(total.get());
            if (i == -1.0 && PyErr_Occurred()) return nullptr;
            const double s = fsum_ + i;
            return PyFloat_FromDouble(avg_ ? s / static_cast<double>(n_) : s);
        }
        if (!avg_) return total.release();
        Ref count = Ref::steal(PyLong_FromUnsignedLongLong(n_));
        if (!count) return nullptr;
        return PyNumber_TrueDivide(total.get(), count.get());  // correctly rounded
    }

private:
    bool avg_;
    uint64_t n_ = 0;
    long long isum_ = 0;
    Ref big_;  // the part of the integer sum beyond isum_, once it overflowed
    double fsum_ = 0;
    bool any_float_ = false;
};

// min and max by orderability, the first met of equal values kept.
class ExtremeAcc : public Accumulator {
public:
    explicit ExtremeAcc(bool max) : max_(max) {}
    Status add(PyObject* const* args, size_t) override {
        PyObject* v = args[0];
        if (v == Py_None) return ok_status();
        if (!best_) {
            best_ = Ref::borrow(v);
            return ok_status();
        }
        int c = 0;
        if (order(v, best_.get(), &c) < 0) return PyErrorSet{};
        if (max_ ? c > 0 : c < 0) best_ = Ref::borrow(v);
        return ok_status();
    }
    PyObject* finish() override { return Py_NewRef(best_ ? best_.get() : Py_None); }
    int traverse(visitproc visit, void* arg) const override {
        Py_VISIT(best_.get());
        return 0;
    }

private:
    bool max_;
    Ref best_;
};

class CollectAcc : public Base {
public:
    using Base::Base;
    Status add(PyObject* const* args, size_t) override {
        const int a = admit(args[0]);
        if (a <= 0) return a < 0 ? Status(PyErrorSet{}) : ok_status();
        if (!list_) {
            list_ = Ref::steal(PyList_New(0));
            if (!list_) return PyErrorSet{};
        }
        return PyList_Append(list_.get(), args[0]) < 0 ? Status(PyErrorSet{}) : ok_status();
    }
    PyObject* finish() override {
        if (!list_) return PyList_New(0);
        // The first result is the list itself; any later one a copy, so that
        // no two results share a list.
        if (Py_REFCNT(list_.get()) == 1) return Py_NewRef(list_.get());
        return PyList_GetSlice(list_.get(), 0, PY_SSIZE_T_MAX);
    }
    int traverse(visitproc visit, void* arg) const override {
        Py_VISIT(list_.get());
        return Base::traverse(visit, arg);
    }

private:
    Ref list_;
};

// Standard deviation by Welford's running mean and sum of squares.
class StDevAcc : public Base {
public:
    StDevAcc(bool population, bool distinct) : Base(distinct), population_(population) {}
    Status add(PyObject* const* args, size_t) override {
        PyObject* v = args[0];
        const int a = admit(v);
        if (a <= 0) return a < 0 ? Status(PyErrorSet{}) : ok_status();
        double x;
        if (!is_number_value(v)) {
            type_error_arg(population_ ? "stDevP" : "stDev", "numbers", v);
            return PyErrorSet{};
        }
        if (!number_value(v, x)) return PyErrorSet{};
        ++n_;
        const double d = x - mean_;
        mean_ += d / static_cast<double>(n_);
        m2_ += d * (x - mean_);
        return ok_status();
    }
    PyObject* finish() override {
        const uint64_t div = population_ ? n_ : n_ - 1;
        if (n_ == 0 || div == 0) return PyFloat_FromDouble(0.0);
        return PyFloat_FromDouble(std::sqrt(m2_ / static_cast<double>(div)));
    }

private:
    bool population_;
    uint64_t n_ = 0;
    double mean_ = 0, m2_ = 0;
};

class PercentileAcc : public Base {
public:
    PercentileAcc(bool cont, bool distinct) : Base(distinct), cont_(cont) {}
    Status add(PyObject* const* args, size_t nargs) override {
        const char* name = cont_ ? "percentileCont" : "percentileDisc";
        // The percentile is checked on every row, null values included.
        PyObject* v = args[0];
        PyObject* p = nargs > 1 ? args[1] : Py_None;
        if (!is_number_value(p)) {
            type_error_arg(name, "a number as percentile", p);
            return PyErrorSet{};
        }
        double pv;
        if (!number_value(p, pv)) return PyErrorSet{};
        if (!(pv >= 0.0 && pv <= 1.0)) {
            PyErr_Format(PyExc_ValueError, "%s() percentile must be between 0.0 and 1.0, got %R",
                         name, p);
            return PyErrorSet{};
        }
        if (!have_p_) {
            percentile_ = pv;
            have_p_ = true;
        }
        if (v == Py_None) return ok_status();
        if (!is_number_value(v)) {
            type_error_arg(name, "numbers", v);
            return PyErrorSet{};
        }
        const int a = admit(v);
        if (a <= 0) return a < 0 ? Status(PyErrorSet{}) : ok_status();
        values_.push_back(Ref::borrow(v));
        return ok_status();
    }
    PyObject* finish() override {
        if (values_.empty()) Py_RETURN_NONE;
        bool failed = false;
        std::stable_sort(values_.begin(), values_.end(), [&](const Ref& x, const Ref& y) {
            int c = 0;
            if (!failed && order(x.get(), y.get(), &c) < 0) failed = true;
            return c < 0;
        });
        if (failed) return nullptr;
        const size_t n = values_.size();
        if (!cont_) {
            double idx = std::ceil(percentile_ * static_cast<double>(n)) - 1;
            const size_t i = idx < 0 ? 0 : std::min(n - 1, static_cast<size_t>(idx));
            return Py_NewRef(values_[i].get());
        }
        const double idx = percentile_ * static_cast<double>(n - 1);
        const size_t lo = static_cast<size_t>(std::floor(idx));
        const size_t hi = std::min(n - 1, static_cast<size_t>(std::ceil(idx)));
        double a, b;
        if (!number_value(values_[lo].get(), a) || !number_value(values_[hi].get(), b))
            return nullptr;
        if (lo == hi) return PyFloat_FromDouble(a);
        return PyFloat_FromDouble(a + (b - a) * (idx - static_cast<double>(lo)));
    }
    int traverse(visitproc visit, void* arg) const override {
        for (const Ref& r : values_) Py_VISIT(r.get());
        return Base::traverse(visit, arg);
    }

private:
    bool cont_;
    bool have_p_ = false;
    double percentile_ = 0;
    std::vector<Ref> values_;
};

}  // namespace

std::unique_ptr<Accumulator> Accumulator::make(AggKind kind, bool distinct) {
    switch (kind) {
        case AggKind::CountStar: return std::make_unique<CountAcc>(true, false);
        case AggKind::Count: return std::make_unique<CountAcc>(false, distinct);
        case AggKind::Sum: return std::make_unique<SumAcc>(false, distinct);
        case AggKind::Avg: return std::make_unique<SumAcc>(true, distinct);
        case AggKind::Min: return std::make_unique<ExtremeAcc>(false);
        case AggKind::Max: return std::make_unique<ExtremeAcc>(true);
        case AggKind::Collect: return std::make_unique<CollectAcc>(distinct);
        case AggKind::StDev: return std::make_unique<StDevAcc>(false, distinct);
        case AggKind::StDevP: return std::make_unique<StDevAcc>(true, distinct);
        case AggKind::PercentileCont: return std::make_unique<PercentileAcc>(true, distinct);
        case AggKind::PercentileDisc: return std::make_unique<PercentileAcc>(false, distinct);
    }
    return nullptr;
}

}  // namespace vk::cypher
