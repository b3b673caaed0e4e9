// Shared<T>: a handle to an immutable value that several holders share (a
// term, kept by Term objects, edge patterns, edges, their copies in query
// bindings and the Edge objects of returned rows).
//
// The count is a plain integer, not an atomic one: every holder lives in a
// value of this module, and the module's code, its deallocators included,
// runs only with the interpreter lock held, which orders every change of the
// count. An atomic count would cost a locked instruction on every copy of a
// binding for no gain.
#pragma once
#include <cstddef>
#include <utility>

namespace vk {

template <class T>
class Shared {
public:
    Shared() noexcept = default;
    Shared(const Shared& o) noexcept : p_(o.p_) {
        if (p_) ++p_->count;
    }
    Shared(Shared&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    // The old value is released after this handle holds the new one, so that
    // code run by the release (a dict's last reference going) sees it whole.
    Shared& operator=(const Shared& o) noexcept {
        Shared(o).swap(*this);
        return *this;
    }
    Shared& operator=(Shared&& o) noexcept {
        Shared(std::move(o)).swap(*this);
        return *this;
    }
    ~Shared() {
        if (p_ && --p_->count == 0) delete p_;
    }

    template <class... A>
    static Shared make(A&&... args) {
        return Shared(new Block(std::forward<A>(args)...));
    }

    const T* get() const noexcept { return p_ ? &p_->value : nullptr; }
    const T* operator->() const noexcept { return &p_->value; }
    const T& operator*() const noexcept { return p_->value; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void swap(Shared& o) noexcept { std::swap(p_, o.p_); }

private:
    struct Block {
        template <class... A>
        explicit Block(A&&... args) : value(std::forward<A>(args)...) {}
        size_t count = 1;
        T value;
    };
    explicit Shared(Block* p) noexcept : p_(p) {}
    Block* p_ = nullptr;
};

}  // namespace vk
