// Sparkplug B payloads: every data type the link publishes survives encoding and decoding,
// values that do not fit their type go out as null, and hostile bytes are refused.

#include <gtest/gtest.h>

#include "mqtt/sparkplug.h"
#include "strata_sdk/json.h"

namespace {

using kestrel::strata_sdk::Variant;
using kestrel::strata_sdk::json::from_json_string;
using sparkplug::DataType;

sparkplug::Payload OneMetric(DataType type, Variant value) {
    sparkplug::Payload p;
    p.timestamp = 1700000000000;
    p.seq = 255;
    sparkplug::Metric m;
    m.name = "EM Tags/x";
    m.alias = 7;
    m.timestamp = 1700000000001;
    m.datatype = type;
    m.value = std::move(value);
    p.metrics.push_back(std::move(m));
    return p;
}

std::optional<sparkplug::Payload> RoundTrip(const sparkplug::Payload& p) {
    const std::string bytes = sparkplug::Encode(p);
    std::string error;
    auto out =
        sparkplug::Decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), error);
    EXPECT_TRUE(out) << error;
    return out;
}

TEST(SparkplugCodec, EveryPublishedTypeSurvivesARoundTrip) {
    const struct {
        DataType type;
        const char* json;
    } cases[] = {
        {DataType::Int8, "-128"},
        {DataType::Int16, "-2"},
        {DataType::Int32, "-2147483648"},
        {DataType::UInt32, "4294967295"},
        {DataType::Int64, "-5"},
        {DataType::UInt64, "18446744073709551615"},
        {DataType::Float, "0.5"},
        {DataType::Double, "-1e300"},
        {DataType::Boolean, "true"},
        {DataType::String, "\"h\\u00e9llo\""},
        {DataType::Bytes, "\"0x00FF10\""},
        {DataType::Int8Array, "[-1, 0, 127]"},
        {DataType::Int16Array, "[-32768, 1, 32767]"},
        {DataType::Int32Array, "[-1, 65536]"},
        {DataType::UInt16Array, "[65535, 0]"},
        {DataType::FloatArray, "[1.5, -2.25]"},
        {DataType::BooleanArray, "[true, false, false, true, true, false, false, false, true]"},
        {DataType::StringArray, "[\"AB\", \"\", \"C\"]"},
        {DataType::Int16Array, "[]"},
        {DataType::Int32, "null"},
    };
    for (const auto& c : cases) {
        const Variant value = from_json_string(c.json);
        const auto out = RoundTrip(OneMetric(c.type, value));
        ASSERT_TRUE(out) << c.json;
        ASSERT_EQ(out->metrics.size(), 1u);
        const auto& m = out->metrics[0];
        EXPECT_EQ(m.value, value) << c.json;
        EXPECT_EQ(m.datatype, c.type) << c.json;
        EXPECT_EQ(m.name, std::optional<std::string>("EM Tags/x"));
        EXPECT_EQ(m.alias, std::optional<uint64_t>(7));
        EXPECT_EQ(m.timestamp, std::optional<uint64_t>(1700000000001));
        EXPECT_EQ(out->seq, std::optional<uint64_t>(255));
    }
}

TEST(SparkplugCodec, ArraysArePackedLittleEndianWithBooleansMsbFirst) {
    // Decoding what the encoder wrote proves only symmetry; the layout is pinned here.
    const auto bytes_of = [](DataType type, const char* json) {
        std::string encoded = sparkplug::Encode(OneMetric(type, from_json_string(json)));
        return encoded;
    };
    EXPECT_NE(bytes_of(DataType::Int16Array, "[1, -2]").find(std::string("\x01\x00\xFE\xFF", 4)),
              std::string::npos);
    // 9 booleans: count 9, then 1001 1000 and 1000 0000.
    EXPECT_NE(
        bytes_of(DataType::BooleanArray, "[true,false,false,true,true,false,false,false,true]")
            .find(std::string("\x09\x00\x00\x00\x98\x80", 6)),
        std::string::npos);
    EXPECT_NE(bytes_of(DataType::StringArray, "[\"AB\",\"C\"]").find(std::string("AB\0C\0", 5)),
              std::string::npos);
}

TEST(SparkplugCodec, ValuesThatDoNotFitTheirTypeAreSentAsNull) {
    const struct {
        DataType type;
        const char* json;
    } cases[] = {
        {DataType::Int8, "128"},           {DataType::Int16, "\"12\""},
        {DataType::UInt32, "-1"},          {DataType::Boolean, "1"},
        {DataType::Int8Array, "[1, 300]"}, {DataType::BooleanArray, "[true, 1]"},
        {DataType::Bytes, "\"0x0\""},      {DataType::Bytes, "\"0xZZ\""},
        {DataType::Float, "\"\""},         {DataType::StringArray, "\"AB\""},
    };
    for (const auto& c : cases) {
        const auto out = RoundTrip(OneMetric(c.type, from_json_string(c.json)));
        ASSERT_TRUE(out);
        EXPECT_TRUE(out->metrics[0].value.is_null()) << c.json;
    }
}

TEST(SparkplugCodec, HostileBytesAreRefusedWithAReason) {
    const std::string truncated =
        sparkplug::Encode(OneMetric(DataType::String, "hello")).substr(0, 12);
    // Metric with datatype Int16Array (4 = 23) and bytes_value of 3 bytes.
    const std::string odd_array("\x12\x08\x20\x17\x82\x01\x03\x01\x02\x03", 10);
    const std::string bad_bool_count("\x12\x0a\x20\x20\x82\x01\x05\xff\x00\x00\x00\x01", 12);
    const std::string string_array_unterminated("\x12\x07\x20\x21\x82\x01\x02\x41\x42", 9);
    const std::string type_mismatch("\x12\x05\x20\x03\x7a\x01\x41", 7);  // Int32 as text
    const std::string not_protobuf("\xff\xff\xff\xff\xff", 5);
    for (const std::string& bytes : {truncated, odd_array, bad_bool_count,
                                     string_array_unterminated, type_mismatch, not_protobuf}) {
        std::string error;
        EXPECT_FALSE(
            sparkplug::Decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), error));
        EXPECT_FALSE(error.empty());
    }
}

TEST(SparkplugCodec, MetricWithoutDataTypeKeepsItsFieldValue) {
    // int_value 0xFFFFFFFF without a data type: read as signed 32 bits.
    const std::string bytes("\x12\x09\x0a\x01x\x50\xff\xff\xff\xff\x0f", 11);
    std::string error;
    const auto out =
        sparkplug::Decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), error);
    ASSERT_TRUE(out) << error;
    EXPECT_EQ(out->metrics.at(0).value, Variant(-1));
}

}  // namespace
