#pragma once
// Sparkplug payloads read back by npm sparkplug-payload (Eclipse Tahu's decoder), an
// implementation independent of the link's. Needs TB_NODE_BIN and TB_SPARKPLUG_DECODER.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>

#include "mqtt_test_support.h"

namespace tb_test {

// Every one of `messages` (Sparkplug payloads) reads the same with both decoders: sequence,
// names, aliases, the historical flag, and the types and values that decoder knows. At least
// `min_compared` values are compared; nothing is when Node.js is not installed.
inline void ExpectAnIndependentDecoderReadsAlike(const std::vector<SparkplugMessage>& messages,
                                                 const std::string& dir, size_t min_compared) {
    using nlohmann::json;
    using sparkplug::DataType;
    if (access(TB_NODE_BIN, X_OK) != 0) {
        return;  // Node.js is not installed
    }
    std::vector<std::string> args{TB_SPARKPLUG_DECODER};
    for (size_t i = 0; i < messages.size(); ++i) {
        args.push_back(dir + "/payload" + std::to_string(i));
        std::ofstream(args.back(), std::ios::binary) << messages[i].bytes;
    }
    ChildProcess decoder(TB_NODE_BIN, args);
    const auto status = decoder.Wait();
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << decoder.Output();
    const json decoded = json::parse(decoder.Output());
    ASSERT_EQ(decoded.size(), messages.size());
    const std::map<DataType, std::string> names = {
        {DataType::Int32, "Int32"},   {DataType::Float, "Float"},   {DataType::Boolean, "Boolean"},
        {DataType::String, "String"}, {DataType::UInt64, "UInt64"},
    };
    size_t compared = 0;
    for (size_t i = 0; i < messages.size(); ++i) {
        ASSERT_TRUE(messages[i].payload) << messages[i].topic;
        const auto& mine = *messages[i].payload;
        const json& theirs = decoded[i];
        EXPECT_EQ(theirs["seq"], mine.seq ? json(*mine.seq) : json(nullptr));
        ASSERT_EQ(theirs["metrics"].size(), mine.metrics.size());
        for (size_t k = 0; k < mine.metrics.size(); ++k) {
            const auto& m = mine.metrics[k];
            const json& t = theirs["metrics"][k];
            EXPECT_EQ(t["name"], m.name ? json(*m.name) : json(nullptr));
            EXPECT_EQ(t["alias"], m.alias ? json(*m.alias) : json(nullptr));
            EXPECT_EQ(t["historical"], m.historical);
            const auto name = names.find(m.datatype);
            if (name == names.end() || m.value.is_null()) {
                continue;  // the array types are newer than that decoder
            }
            EXPECT_EQ(t["type"], name->second);
            const json value = json::parse(kestrel::strata_sdk::json::to_json_string(m.value));
            if (m.datatype == DataType::Float) {
                EXPECT_NEAR(t["value"].get<double>(), value.get<double>(), 1e-6);
            } else {
                EXPECT_EQ(t["value"], value) << messages[i].topic;
            }
            ++compared;
        }
    }
    EXPECT_GE(compared, min_compared);
}

}  // namespace tb_test
