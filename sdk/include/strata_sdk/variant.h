#pragma once
// Variant: the broker's tagged value.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include "strata_sdk/error.h"

namespace kestrel::strata_sdk {

// Kinds: 0 null, 1 bool, 2 int64, 3 uint64, 4 double, 5 string, 6 map, 7 array.
// Accessors on the wrong kind throw exception(9013) with these texts:
//   as_bool "not a bool", as_int "not an int", as_uint "not an uint",
//   as_double "not a double", as_string "not a string", as_map "not a map",
//   as_array / operator[](index) "not an array", index past the end "index out of bounds",
//   at(key) on a missing key "key not found". A double that is NaN or infinite is
//   refused at construction with "not a valid float".
class Variant {
  public:
    enum Type : int {
        Null = 0,
        Bool = 1,
        Int = 2,
        UInt = 3,
        Double = 4,
        String = 5,
        Map = 6,
        Array = 7,
    };
    using MapType = std::map<std::string, Variant>;
    using ArrayType = std::vector<Variant>;

    Variant() noexcept;
    Variant(std::nullptr_t) noexcept;
    Variant(bool v) noexcept;
    template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                               std::is_signed_v<T>,
                                           int> = 0>
    Variant(T v) noexcept : Variant(static_cast<int64_t>(v), SignedTag{}) {}
    template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                               std::is_unsigned_v<T>,
                                           int> = 0>
    Variant(T v) noexcept : Variant(static_cast<uint64_t>(v), UnsignedTag{}) {}
    Variant(double v);
    Variant(float v);
    Variant(const char* v);
    Variant(std::string v) noexcept;
    Variant(MapType v) noexcept;
    Variant(ArrayType v) noexcept;

    Variant(const Variant& other);
    Variant(Variant&& other) noexcept;
    Variant& operator=(const Variant& other);
    Variant& operator=(Variant&& other) noexcept;
    ~Variant();

    static Variant new_map() { return Variant(MapType{}); }
    static Variant new_array() { return Variant(ArrayType{}); }

    Type get_type() const noexcept { return type_; }
    bool is_null() const noexcept { return type_ == Null; }
    bool is_bool() const noexcept { return type_ == Bool; }
    bool is_int() const noexcept { return type_ == Int; }
    bool is_uint() const noexcept { return type_ == UInt; }
    bool is_double() const noexcept { return type_ == Double; }
    bool is_number() const noexcept { return type_ == Int || type_ == UInt || type_ == Double; }
    bool is_string() const noexcept { return type_ == String; }
    bool is_map() const noexcept { return type_ == Map; }
    bool is_array() const noexcept { return type_ == Array; }

    bool as_bool() const;
    // Kind 2, or kind 3 when it fits int64.
    int64_t as_int() const;
    // Kind 3, or kind 2 when not negative.
    uint64_t as_uint() const;
    // Kinds 2, 3 and 4, widened to double.
    double as_double() const;
    const std::string& as_string() const;
    std::string& as_string();
    const MapType& as_map() const;
    MapType& as_map();
    const ArrayType& as_array() const;
    ArrayType& as_array();

    // Array element; throws "not an array" / "index out of bounds".
    template <typename I,
              std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>, int> = 0>
    const Variant& operator[](I index) const {
        return element(to_index(index));
    }
    template <typename I,
              std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool>, int> = 0>
    Variant& operator[](I index) {
        return const_cast<Variant&>(element(to_index(index)));
    }
    // Map member. The const form throws "not a map" / "key not found"; the mutable
    // form turns a null into a map and inserts a null member when missing.
    const Variant& at(const std::string& key) const;
    Variant& operator[](const std::string& key);
    Variant& operator[](const char* key) { return (*this)[std::string(key)]; }
    bool has(const std::string& key) const noexcept;
    // Element count of an array or a map; 0 for every other kind.
    size_t size() const noexcept;

    bool operator==(const Variant& other) const noexcept;
    bool operator!=(const Variant& other) const noexcept { return !(*this == other); }

  private:
    struct SignedTag {};
    struct UnsignedTag {};
    Variant(int64_t v, SignedTag) noexcept;
    Variant(uint64_t v, UnsignedTag) noexcept;
    // A negative index maps past any end ("index out of bounds").
    template <typename I>
    static size_t to_index(I index) {
        if constexpr (std::is_signed_v<I>) {
            if (index < 0) {
                return SIZE_MAX;
            }
        }
        return static_cast<size_t>(index);
    }
    const Variant& element(size_t index) const;
    void destroy() noexcept;
    void copy_from(const Variant& other);
    void move_from(Variant&& other) noexcept;

    Type type_ = Null;
    union {
        bool b_;
        int64_t i_;
        uint64_t u_;
        double d_;
        std::string* s_;
        MapType* m_;
        ArrayType* a_;
    };
};

// Printable name of a kind ("null", "bool", "int", "uint", "double", "string", "map", "array").
const char* variant_type_name(Variant::Type type) noexcept;

}  // namespace kestrel::strata_sdk
