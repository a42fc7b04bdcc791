// Enum-typed fields of a raster page header arrive from the raster file as
// plain 32-bit words and may hold any value; they are read as such, never
// loaded as their enumeration.
#pragma once

#include <cstring>
#include <type_traits>

template <typename E> inline unsigned HeaderWord(const E &field)
{
    static_assert(std::is_enum<E>::value && sizeof(E) == sizeof(unsigned), "a 32-bit enum header field");
    unsigned v;
    memcpy(&v, &field, sizeof v);
    return v;
}
