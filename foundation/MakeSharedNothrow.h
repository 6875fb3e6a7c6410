// make_shared_nothrow: boost::make_shared that answers an empty pointer instead
// of throwing when memory runs out. Exceptions of the constructor other than
// std::bad_alloc pass through.
#pragma once

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include <new>
#include <utility>

namespace FX {
template <class T, class... Arguments>
boost::shared_ptr<T> make_shared_nothrow(Arguments&&... arguments)
{
    try {
        return boost::make_shared<T>(std::forward<Arguments>(arguments)...);
    } catch (const std::bad_alloc&) {
        return boost::shared_ptr<T>();
    }
}
}  // namespace FX
