// A list of owned object pointers: destroying the list deletes every object in it.
#pragma once

#include <list>

namespace Ostrel::Util {

template <typename T>
class InternalFreeList : public std::list<T*> {
public:
    InternalFreeList() = default;
    virtual ~InternalFreeList() {
        for (T* p : *this)
            delete p;
    }
    // Copies would delete the same objects twice.
    InternalFreeList(const InternalFreeList&) = delete;
    InternalFreeList& operator=(const InternalFreeList&) = delete;
};

}  // namespace Ostrel::Util
