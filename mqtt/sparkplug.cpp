#include "mqtt/sparkplug.h"

#include <cmath>
#include <limits>
#include <memory>

#include "common/byte_codec.h"
#include "sparkplug_b.pb-c.h"

namespace sparkplug {
namespace {

using kestrel::strata_sdk::Variant;
using PbPayload = Org__Eclipse__Tahu__Protobuf__Payload;
using PbMetric = Org__Eclipse__Tahu__Protobuf__Payload__Metric;

constexpr auto kIntCase = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_INT_VALUE;
constexpr auto kLongCase = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_LONG_VALUE;
constexpr auto kFloatCase = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_FLOAT_VALUE;
constexpr auto kDoubleCase = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE;
constexpr auto kBoolCase = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
constexpr auto kStringCase = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_STRING_VALUE;
constexpr auto kBytesCase = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE_BYTES_VALUE;

// How a data type is carried: the protobuf field, and for packed arrays the element width.
struct Carrier {
    Org__Eclipse__Tahu__Protobuf__Payload__Metric__ValueCase field;
    size_t element = 0;  // bytes per array element; 0 for scalars and the special arrays
    bool is_signed = false;
};

std::optional<Carrier> CarrierOf(DataType type) {
    switch (type) {
        case DataType::Int8:
        case DataType::Int16:
        case DataType::Int32:
            return Carrier{kIntCase, 0, true};
        case DataType::UInt8:
        case DataType::UInt16:
        case DataType::UInt32:
            return Carrier{kIntCase, 0, false};
        case DataType::Int64:
            return Carrier{kLongCase, 0, true};
        case DataType::UInt64:
        case DataType::DateTime:
            return Carrier{kLongCase, 0, false};
        case DataType::Float:
            return Carrier{kFloatCase};
        case DataType::Double:
            return Carrier{kDoubleCase};
        case DataType::Boolean:
            return Carrier{kBoolCase};
        case DataType::String:
        case DataType::Text:
            return Carrier{kStringCase};
        case DataType::Int8Array:
            return Carrier{kBytesCase, 1, true};
        case DataType::Int16Array:
            return Carrier{kBytesCase, 2, true};
        case DataType::Int32Array:
            return Carrier{kBytesCase, 4, true};
        case DataType::Int64Array:
            return Carrier{kBytesCase, 8, true};
        case DataType::UInt8Array:
            return Carrier{kBytesCase, 1, false};
        case DataType::UInt16Array:
            return Carrier{kBytesCase, 2, false};
        case DataType::UInt32Array:
            return Carrier{kBytesCase, 4, false};
        case DataType::UInt64Array:
            return Carrier{kBytesCase, 8, false};
        case DataType::Bytes:
        case DataType::FloatArray:
        case DataType::DoubleArray:
        case DataType::BooleanArray:
        case DataType::StringArray:
            return Carrier{kBytesCase};
        case DataType::Unknown:
            break;
    }
    return std::nullopt;
}

// Range of an integer data type (scalar or array element).
bool FitsInteger(DataType type, const Variant& v) {
    if (!v.is_int() && !v.is_uint()) {
        return false;
    }
    const bool negative = v.is_int() && v.as_int() < 0;
    const uint64_t magnitude = negative ? 0 : v.as_uint();
    const int64_t signed_value = negative ? v.as_int() : 0;
    switch (type) {
        case DataType::Int8:
        case DataType::Int8Array:
            return negative ? signed_value >= INT8_MIN : magnitude <= INT8_MAX;
        case DataType::Int16:
        case DataType::Int16Array:
            return negative ? signed_value >= INT16_MIN : magnitude <= INT16_MAX;
        case DataType::Int32:
        case DataType::Int32Array:
            return negative ? signed_value >= INT32_MIN : magnitude <= INT32_MAX;
        case DataType::UInt8:
        case DataType::UInt8Array:
            return !negative && magnitude <= UINT8_MAX;
        case DataType::UInt16:
        case DataType::UInt16Array:
            return !negative && magnitude <= UINT16_MAX;
        case DataType::UInt32:
        case DataType::UInt32Array:
            return !negative && magnitude <= UINT32_MAX;
        case DataType::Int64:
        case DataType::Int64Array:
            return negative || magnitude <= static_cast<uint64_t>(INT64_MAX);
        default:
            return !negative;
    }
}

// Unsigned values as the broker's JSON reads them: int when they fit, so that equal numbers
// compare equal whichever way they came.
Variant UnsignedValue(uint64_t v) {
    return v <= static_cast<uint64_t>(INT64_MAX) ? Variant(static_cast<int64_t>(v)) : Variant(v);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::string> FromHexText(const std::string& text) {
    if (text.size() < 2 || text.compare(0, 2, "0x") != 0 || text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string out;
    for (size_t i = 2; i < text.size(); i += 2) {
        const int hi = HexDigit(text[i]);
        const int lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(hi * 16 + lo));
    }
    return out;
}

std::string ToHexText(ByteView bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out = "0x";
    for (uint8_t b : bytes) {
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

DataType ElementType(DataType array) {
    switch (array) {
        case DataType::Int8Array:
            return DataType::Int8;
        case DataType::Int16Array:
            return DataType::Int16;
        case DataType::Int32Array:
            return DataType::Int32;
        case DataType::UInt8Array:
            return DataType::UInt8;
        case DataType::UInt16Array:
            return DataType::UInt16;
        case DataType::Int64Array:
            return DataType::Int64;
        case DataType::UInt64Array:
            return DataType::UInt64;
        default:
            return DataType::UInt32;
    }
}

// Packs an array value; nothing when an element does not fit.
std::optional<std::string> PackArray(DataType type, size_t element, const Variant& value) {
    if (!value.is_array()) {
        return std::nullopt;
    }
    const auto& items = value.as_array();
    ByteWriter out;
    if (type == DataType::BooleanArray) {
        out.u32(static_cast<uint32_t>(items.size()));
        for (size_t i = 0; i < items.size(); i += 8) {
            uint8_t bits = 0;
            for (size_t b = 0; b < 8 && i + b < items.size(); ++b) {
                if (!items[i + b].is_bool())
                    return std::nullopt;
                bits |= items[i + b].as_bool() ? static_cast<uint8_t>(0x80 >> b) : 0;
            }
            out.u8(bits);
        }
    } else if (type == DataType::StringArray) {
        for (const Variant& item : items) {
            if (!item.is_string() || item.as_string().find('\0') != std::string::npos)
                return std::nullopt;
            out.bytes(item.as_string()).u8(0);
        }
    } else if (type == DataType::FloatArray || type == DataType::DoubleArray) {
        for (const Variant& item : items) {
            if (!item.is_number())
                return std::nullopt;
            if (type == DataType::FloatArray)
                out.f32(static_cast<float>(item.as_double()));
            else
                out.f64(item.as_double());
        }
    } else {
        for (const Variant& item : items) {
            if (!FitsInteger(ElementType(type), item))
                return std::nullopt;
            const uint64_t bits =
                item.is_int() ? static_cast<uint64_t>(item.as_int()) : item.as_uint();
            if (element == 1)
                out.u8(static_cast<uint8_t>(bits));
            else if (element == 2)
                out.u16(static_cast<uint16_t>(bits));
            else if (element == 4)
                out.u32(static_cast<uint32_t>(bits));
            else
                out.u64(bits);
        }
    }
    return out.ok() ? std::optional<std::string>(out.view().to_string()) : std::nullopt;
}

std::optional<Variant> UnpackArray(DataType type, const Carrier& carrier, ByteView bytes) {
    ByteReader in(bytes);
    Variant::ArrayType items;
    if (type == DataType::BooleanArray) {
        const uint32_t count = in.u32();
        if (!in.ok() || (static_cast<uint64_t>(count) + 7) / 8 != in.remaining())
            return std::nullopt;
        for (uint32_t i = 0; i < count; ++i)
            items.emplace_back((bytes.at(4 + i / 8) & (0x80 >> (i % 8))) != 0);
    } else if (type == DataType::StringArray) {
        if (!bytes.empty() && bytes.at(bytes.size - 1) != 0)
            return std::nullopt;
        std::string current;
        for (uint8_t b : bytes) {
            if (b == 0) {
                items.emplace_back(std::move(current));
                current.clear();
            } else {
                current.push_back(static_cast<char>(b));
            }
        }
    } else if (type == DataType::FloatArray || type == DataType::DoubleArray) {
        const bool single = type == DataType::FloatArray;
        if (bytes.size % (single ? 4 : 8) != 0)
            return std::nullopt;
        while (!in.at_end())
            items.emplace_back(single ? static_cast<double>(in.f32()) : in.f64());
    } else {
        if (bytes.size % carrier.element != 0)
            return std::nullopt;
        while (!in.at_end()) {
            if (carrier.element == 1)
                items.emplace_back(carrier.is_signed ? Variant(in.i8()) : UnsignedValue(in.u8()));
            else if (carrier.element == 2)
                items.emplace_back(carrier.is_signed ? Variant(in.i16()) : UnsignedValue(in.u16()));
            else if (carrier.element == 4)
                items.emplace_back(carrier.is_signed ? Variant(in.i32()) : UnsignedValue(in.u32()));
            else
                items.emplace_back(carrier.is_signed ? Variant(static_cast<int64_t>(in.u64()))
                                                     : UnsignedValue(in.u64()));
        }
    }
    return Variant(std::move(items));
}

// Fills the value of `pb` from `value`; false when it does not fit the data type. `bytes`
// holds any byte buffer the field points into.
bool SetValue(PbMetric& pb, DataType type, const Variant& value, std::string& bytes) {
    const auto carrier = CarrierOf(type);
    if (!carrier || value.is_null()) {
        return false;
    }
    switch (carrier->field) {
        case kIntCase:
            if (!FitsInteger(type, value))
                return false;
            pb.int_value = static_cast<uint32_t>(value.is_int() ? value.as_int() : value.as_uint());
            break;
        case kLongCase:
            if (!FitsInteger(type, value))
                return false;
            pb.long_value =
                value.is_int() ? static_cast<uint64_t>(value.as_int()) : value.as_uint();
            break;
        case kFloatCase:
        case kDoubleCase:
            if (!value.is_number())
                return false;
            if (carrier->field == kFloatCase)
                pb.float_value = static_cast<float>(value.as_double());
            else
                pb.double_value = value.as_double();
            break;
        case kBoolCase:
            if (!value.is_bool())
                return false;
            pb.boolean_value = value.as_bool();
            break;
        case kStringCase:
            if (!value.is_string())
                return false;
            bytes = value.as_string();
            pb.string_value = bytes.data();
            break;
        default: {
            auto packed = type == DataType::Bytes
                              ? (value.is_string() ? FromHexText(value.as_string()) : std::nullopt)
                              : PackArray(type, carrier->element, value);
            if (!packed)
                return false;
            bytes = std::move(*packed);
            pb.bytes_value.data = reinterpret_cast<uint8_t*>(bytes.data());
            pb.bytes_value.len = bytes.size();
            break;
        }
    }
    pb.value_case = carrier->field;
    return true;
}

// The value a metric carries, read by its data type (or by its field when it has none).
std::optional<Variant> GetValue(const PbMetric& pb, DataType type) {
    if (pb.has_is_null && pb.is_null) {
        return Variant();
    }
    auto carrier = CarrierOf(type);
    if (type == DataType::Unknown) {
        carrier = Carrier{pb.value_case, 0, true};
    }
    if (!carrier || carrier->field != pb.value_case) {
        return std::nullopt;
    }
    switch (pb.value_case) {
        case kIntCase:
            if (type == DataType::Int8)
                return Variant(static_cast<int8_t>(pb.int_value));
            if (type == DataType::Int16)
                return Variant(static_cast<int16_t>(pb.int_value));
            if (carrier->is_signed)
                return Variant(static_cast<int32_t>(pb.int_value));
            return UnsignedValue(pb.int_value);
        case kLongCase:
            return carrier->is_signed ? Variant(static_cast<int64_t>(pb.long_value))
                                      : UnsignedValue(pb.long_value);
        case kFloatCase:
            if (!std::isfinite(pb.float_value))
                return std::nullopt;
            return Variant(static_cast<double>(pb.float_value));
        case kDoubleCase:
            if (!std::isfinite(pb.double_value))
                return std::nullopt;
            return Variant(pb.double_value);
        case kBoolCase:
            return Variant(pb.boolean_value != 0);
        case kStringCase:
            return Variant(std::string(pb.string_value ? pb.string_value : ""));
        case kBytesCase: {
            const ByteView bytes{pb.bytes_value.data, pb.bytes_value.len};
            if (type == DataType::Bytes || type == DataType::Unknown)
                return Variant(ToHexText(bytes));
            return UnpackArray(type, *carrier, bytes);
        }
        default:
            return std::nullopt;
    }
}

struct PayloadDeleter {
    void operator()(PbPayload* p) const {
        org__eclipse__tahu__protobuf__payload__free_unpacked(p, nullptr);
    }
};

}  // namespace

std::string Encode(const Payload& payload) {
    PbPayload pb = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__INIT;
    pb.has_timestamp = payload.timestamp.has_value();
    pb.timestamp = payload.timestamp.value_or(0);
    pb.has_seq = payload.seq.has_value();
    pb.seq = payload.seq.value_or(0);

    const size_t n = payload.metrics.size();
    std::vector<PbMetric> metrics(n);
    std::vector<PbMetric*> pointers(n);
    std::vector<std::string> names(n);
    std::vector<std::string> buffers(n);
    for (size_t i = 0; i < n; ++i) {
        const Metric& m = payload.metrics[i];
        PbMetric& out = metrics[i];
        out = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__INIT;
        if (m.name) {
            names[i] = *m.name;
            out.name = names[i].data();
        }
        out.has_alias = m.alias.has_value();
        out.alias = m.alias.value_or(0);
        out.has_timestamp = m.timestamp.has_value();
        out.timestamp = m.timestamp.value_or(0);
        out.has_datatype = m.datatype != DataType::Unknown;
        out.datatype = static_cast<uint32_t>(m.datatype);
        if (!SetValue(out, m.datatype, m.value, buffers[i])) {
            out.value_case = ORG__ECLIPSE__TAHU__PROTOBUF__PAYLOAD__METRIC__VALUE__NOT_SET;
            out.has_is_null = true;
            out.is_null = true;
        }
        pointers[i] = &out;
    }
    pb.n_metrics = n;
    pb.metrics = pointers.data();

    std::string bytes(org__eclipse__tahu__protobuf__payload__get_packed_size(&pb), '\0');
    org__eclipse__tahu__protobuf__payload__pack(&pb, reinterpret_cast<uint8_t*>(bytes.data()));
    return bytes;
}

std::optional<Payload> Decode(const uint8_t* data, size_t size, std::string& error) {
    std::unique_ptr<PbPayload, PayloadDeleter> pb(
        org__eclipse__tahu__protobuf__payload__unpack(nullptr, size, data));
    if (!pb) {
        error = "not a Sparkplug B payload (" + std::to_string(size) + " bytes)";
        return std::nullopt;
    }
    Payload payload;
    if (pb->has_timestamp)
        payload.timestamp = pb->timestamp;
    if (pb->has_seq)
        payload.seq = pb->seq;
    for (size_t i = 0; i < pb->n_metrics; ++i) {
        const PbMetric& in = *pb->metrics[i];
        Metric m;
        if (in.name)
            m.name = in.name;
        if (in.has_alias)
            m.alias = in.alias;
        if (in.has_timestamp)
            m.timestamp = in.timestamp;
        m.datatype = in.has_datatype ? static_cast<DataType>(in.datatype) : DataType::Unknown;
        auto value = GetValue(in, m.datatype);
        if (!value) {
            error = "metric " + (m.name ? "\"" + *m.name + "\"" : "#" + std::to_string(i)) +
                    ": value does not match data type " + std::to_string(in.datatype);
            return std::nullopt;
        }
        m.value = std::move(*value);
        payload.metrics.push_back(std::move(m));
    }
    return payload;
}

}  // namespace sparkplug
