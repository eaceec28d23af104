#include <cmath>
#include <limits>

#include "strata_sdk/variant.h"

namespace kestrel::strata_sdk {
namespace {

[[noreturn]] void throw_bad_value(const char* text) {
    throw exception(strata_errc::bad_value, text);
}

}  // namespace

Variant::Variant() noexcept : type_(Null), u_(0) {}
Variant::Variant(std::nullptr_t) noexcept : Variant() {}
Variant::Variant(bool v) noexcept : type_(Bool), u_(0) {
    b_ = v;
}
Variant::Variant(int64_t v, SignedTag) noexcept : type_(Int), i_(v) {}
Variant::Variant(uint64_t v, UnsignedTag) noexcept : type_(UInt), u_(v) {}

Variant::Variant(double v) : type_(Double), d_(v) {
    if (!std::isfinite(v)) {
        throw_bad_value("not a valid float");
    }
}

Variant::Variant(float v) : Variant(static_cast<double>(v)) {}
Variant::Variant(const char* v) : Variant(std::string(v ? v : "")) {}
Variant::Variant(std::string v) noexcept : type_(String), s_(new std::string(std::move(v))) {}
Variant::Variant(MapType v) noexcept : type_(Map), m_(new MapType(std::move(v))) {}
Variant::Variant(ArrayType v) noexcept : type_(Array), a_(new ArrayType(std::move(v))) {}

Variant::Variant(const Variant& other) : type_(Null), u_(0) {
    copy_from(other);
}
Variant::Variant(Variant&& other) noexcept : type_(Null), u_(0) {
    move_from(std::move(other));
}

Variant& Variant::operator=(const Variant& other) {
    if (this != &other) {
        Variant copy(other);
        destroy();
        move_from(std::move(copy));
    }
    return *this;
}

Variant& Variant::operator=(Variant&& other) noexcept {
    if (this != &other) {
        destroy();
        move_from(std::move(other));
    }
    return *this;
}

Variant::~Variant() {
    destroy();
}

void Variant::destroy() noexcept {
    switch (type_) {
        case String:
            delete s_;
            break;
        case Map:
            delete m_;
            break;
        case Array:
            delete a_;
            break;
        default:
            break;
    }
    type_ = Null;
    u_ = 0;
}

void Variant::copy_from(const Variant& other) {
    switch (other.type_) {
        case String:
            s_ = new std::string(*other.s_);
            break;
        case Map:
            m_ = new MapType(*other.m_);
            break;
        case Array:
            a_ = new ArrayType(*other.a_);
            break;
        default:
            u_ = other.u_;  // every scalar fits the widest member
            break;
    }
    type_ = other.type_;
}

void Variant::move_from(Variant&& other) noexcept {
    type_ = other.type_;
    u_ = other.u_;  // copies the pointer or the scalar bits
    other.type_ = Null;
    other.u_ = 0;
}

bool Variant::as_bool() const {
    if (type_ != Bool) {
        throw_bad_value("not a bool");
    }
    return b_;
}

int64_t Variant::as_int() const {
    if (type_ == Int) {
        return i_;
    }
    if (type_ == UInt && u_ <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return static_cast<int64_t>(u_);
    }
    throw_bad_value("not an int");
}

uint64_t Variant::as_uint() const {
    if (type_ == UInt) {
        return u_;
    }
    // A negative number has no unsigned reading; wrapping it would invent a value.
    if (type_ == Int && i_ >= 0) {
        return static_cast<uint64_t>(i_);
    }
    throw_bad_value("not an uint");
}

double Variant::as_double() const {
    switch (type_) {
        case Int:
            return static_cast<double>(i_);
        case UInt:
            return static_cast<double>(u_);
        case Double:
            return d_;
        default:
            throw_bad_value("not a double");
    }
}

const std::string& Variant::as_string() const {
    if (type_ != String) {
        throw_bad_value("not a string");
    }
    return *s_;
}

std::string& Variant::as_string() {
    return const_cast<std::string&>(static_cast<const Variant&>(*this).as_string());
}

const Variant::MapType& Variant::as_map() const {
    if (type_ != Map) {
        throw_bad_value("not a map");
    }
    return *m_;
}

Variant::MapType& Variant::as_map() {
    return const_cast<MapType&>(static_cast<const Variant&>(*this).as_map());
}

const Variant::ArrayType& Variant::as_array() const {
    if (type_ != Array) {
        throw_bad_value("not an array");
    }
    return *a_;
}

Variant::ArrayType& Variant::as_array() {
    return const_cast<ArrayType&>(static_cast<const Variant&>(*this).as_array());
}

const Variant& Variant::element(size_t index) const {
    const ArrayType& items = as_array();
    if (index >= items.size()) {
        throw_bad_value("index out of bounds");
    }
    return items[index];
}

const Variant& Variant::at(const std::string& key) const {
    const MapType& members = as_map();
    auto it = members.find(key);
    if (it == members.end()) {
        throw_bad_value("key not found");
    }
    return it->second;
}

Variant& Variant::operator[](const std::string& key) {
    if (type_ == Null) {
        *this = new_map();
    }
    return as_map()[key];
}

bool Variant::has(const std::string& key) const noexcept {
    return type_ == Map && m_->find(key) != m_->end();
}

size_t Variant::size() const noexcept {
    if (type_ == Array) {
        return a_->size();
    }
    if (type_ == Map) {
        return m_->size();
    }
    return 0;
}

bool Variant::operator==(const Variant& other) const noexcept {
    if (type_ != other.type_) {
        return false;
    }
    switch (type_) {
        case Null:
            return true;
        case Bool:
            return b_ == other.b_;
        case Int:
            return i_ == other.i_;
        case UInt:
            return u_ == other.u_;
        case Double:
            return d_ == other.d_;
        case String:
            return *s_ == *other.s_;
        case Map:
            return *m_ == *other.m_;
        case Array:
            return *a_ == *other.a_;
    }
    return false;
}

const char* variant_type_name(Variant::Type type) noexcept {
    switch (type) {
        case Variant::Null:
            return "null";
        case Variant::Bool:
            return "bool";
        case Variant::Int:
            return "int";
        case Variant::UInt:
            return "uint";
        case Variant::Double:
            return "double";
        case Variant::String:
            return "string";
        case Variant::Map:
            return "map";
        case Variant::Array:
            return "array";
    }
    return "unknown";
}

}  // namespace kestrel::strata_sdk
