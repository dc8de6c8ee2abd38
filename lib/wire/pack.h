// SPDX-FileCopyrightText: the probo-colvo authors
// SPDX-License-Identifier: BSD-2-Clause
// Checked packing for the probes: pack_typed<TYPE>(buffer, capacity,
// argument, values...) takes one value per character of the type's format
// in the catalogue, each of the kind its character carries, and hands it
// to pack_stream converted to what pack_stream reads for that character.
// A wrong count of values, a floating-point value for an integer
// character or an integer for a D or c, or a 64-bit integer for a
// character narrower than 64 bits, fails to compile. The bytes are those
// of pack_stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "catalogue.h"
#include "packet.h"

namespace packing {

// What pack_stream's variable arguments read for a format character, by
// its kind and width: a double for a fixed-point value, an unsigned long
// long for an eight-byte integer, an unsigned int for a narrower one.
template <char F>
struct wire_value {
    static_assert(catalogue::format_index(F) >= 0, "a format character of the table");
    static constexpr value_format row = catalogue::VALUE_FORMATS[catalogue::format_index(F)];
    using type = std::conditional_t<row.kind != VALUE_INTEGER, double,
                                    std::conditional_t<row.byte_width == 8, unsigned long long,
                                                       unsigned int>>;
};

template <char F, typename V>
constexpr typename wire_value<F>::type convert(V value)
{
    using W = typename wire_value<F>::type;
    if constexpr (std::is_floating_point_v<W>) {
        static_assert(std::is_floating_point_v<V>, "a D or c value is a floating-point number");
    } else {
        static_assert(std::is_integral_v<V> && !std::is_same_v<V, bool>,
                      "an L, l, s or b value is an integer");
        static_assert(sizeof(V) <= sizeof(W),
                      "a 64-bit integer goes only where the format has an L");
    }
    return static_cast<W>(value);
}

template <int TYPE>
constexpr const char *format()
{
    static_assert(TYPE >= 0 && TYPE < STREAM_TYPE_COUNT, "a stream type of the catalogue");
    return catalogue::ROWS[TYPE].format;
}

template <int TYPE, size_t... I, typename... V>
int pack_each(uint8_t *buffer, int capacity, const char *argument, std::index_sequence<I...>,
              V... values)
{
    return pack_stream(buffer, capacity, argument, TYPE, convert<format<TYPE>()[I]>(values)...);
}

template <int TYPE, typename T, size_t... I>
int pack_array(uint8_t *buffer, int capacity, const char *argument, const T *values,
               std::index_sequence<I...>)
{
    return pack_stream(buffer, capacity, argument, TYPE,
                       convert<format<TYPE>()[I]>(values[I])...);
}

} // namespace packing

template <int TYPE, typename... V>
int pack_typed(uint8_t *buffer, int capacity, const char *argument, V... values)
{
    constexpr int count = catalogue::length(packing::format<TYPE>());
    static_assert(sizeof...(V) == count, "one value per character of the type's format");
    if constexpr (sizeof...(V) == count)
        return packing::pack_each<TYPE>(buffer, capacity, argument,
                                        std::index_sequence_for<V...>{}, values...);
    else
        return 0;
}

// The same with the values in an array of as many elements.
template <int TYPE, typename T, size_t N>
int pack_typed_array(uint8_t *buffer, int capacity, const char *argument, const T (&values)[N])
{
    constexpr size_t count = static_cast<size_t>(catalogue::length(packing::format<TYPE>()));
    static_assert(N == count, "one value per character of the type's format");
    if constexpr (N == count)
        return packing::pack_array<TYPE>(buffer, capacity, argument, values,
                                         std::make_index_sequence<N>{});
    else
        return 0;
}

// The D value that packs to exactly this many millionths. Packing
// multiplies by a million and truncates, and the nearest double to a
// count of millionths can land a hair below it after the multiplication:
// half a millionth away from zero keeps every count whole.
constexpr double millionths(int64_t count)
{
    return (static_cast<double>(count) + (count < 0 ? -0.5 : 0.5)) / 1000000;
}
