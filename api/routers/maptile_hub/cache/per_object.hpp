// per_object.hpp: what the module keeps about one Python object (a Redis client, a cache) for
// exactly as long as the object lives.
#pragma once

#include "runtime.hpp"

#include <unordered_map>

namespace vexa::maptile {

/// Values of type T by Python object, each kept while its object lives: by the object's
/// address, with a weak reference whose callback drops the entry when the object goes, or, for
/// an object that cannot be weakly referenced, the object itself (so that its address is never
/// reused by another). A table lives as long as the module (its entries' callbacks refer to it).
template <class T>
class PerObject {
public:
    /// The value of `owner`, made with T's default when it has none yet.
    T& of(handle owner) {
        if (auto found = entries_.find(owner.ptr()); found != entries_.end()) return found->second.value;
        PyObject* key = owner.ptr();
        object forget = nb::cpp_function([this, key](handle) { entries_.erase(key); });
        object keeper;
        if (PyObject* ref = PyWeakref_NewRef(owner.ptr(), forget.ptr())) {
            keeper = nb::steal(ref);
        } else {
            PyErr_Clear();  // not weakly referenceable: keep the object itself
            keeper = nb::borrow(owner);
        }
        return entries_.emplace(key, Entry{T{}, std::move(keeper)}).first->second.value;
    }

    /// The value of `owner`, or null when it has none.
    const T* find(handle owner) const {
        auto found = entries_.find(owner.ptr());
        return found == entries_.end() ? nullptr : &found->second.value;
    }

private:
    struct Entry {
        T value;
        object keeper;
    };
    std::unordered_map<PyObject*, Entry> entries_;
};

}  // namespace vexa::maptile
