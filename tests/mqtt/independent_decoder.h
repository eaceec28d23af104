#pragma once
// Sparkplug payloads read back by npm sparkplug-payload (Eclipse Tahu's decoder), independent of
// the link's. Needs TB_NODE_BIN and TB_SPARKPLUG_DECODER.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>

#include "mqtt_test_support.h"

namespace tb_test {

// `messages` read the same with both decoders: sequence, names, aliases, the historical flag, and
// the types and values that decoder knows (at least `min_compared`; none without Node.js).
inline void ExpectAnIndependentDecoderReadsAlike(const std::vector<SparkplugMessage>& messages,
                                                 const std::string& dir, size_t min_compared) {
    using nlohmann::json;
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
    // The array types are newer than that decoder; a float is compared as printed.
    const std::map<sparkplug::DataType, std::string> types = {
        {sparkplug::DataType::Int32, "Int32"},
        {sparkplug::DataType::Boolean, "Boolean"},
        {sparkplug::DataType::String, "String"}};
    size_t compared = 0;
    for (size_t i = 0; i < messages.size(); ++i) {
        ASSERT_TRUE(messages[i].payload) << messages[i].topic;
        const auto& mine = *messages[i].payload;
        EXPECT_EQ(decoded[i]["seq"], mine.seq ? json(*mine.seq) : json(nullptr));
        ASSERT_EQ(decoded[i]["metrics"].size(), mine.metrics.size());
        for (size_t k = 0; k < mine.metrics.size(); ++k) {
            const auto& m = mine.metrics[k];
            const json& theirs = decoded[i]["metrics"][k];
            EXPECT_EQ(theirs["name"], m.name ? json(*m.name) : json(nullptr));
            EXPECT_EQ(theirs["alias"], m.alias ? json(*m.alias) : json(nullptr));
            EXPECT_EQ(theirs["historical"], m.historical);
            const auto type = types.find(m.datatype);
            if (type != types.end() && !m.value.is_null()) {
                EXPECT_EQ(theirs["type"], type->second);
                EXPECT_EQ(theirs["value"],
                          json::parse(kestrel::strata_sdk::json::to_json_string(m.value)));
                ++compared;
            }
        }
    }
    EXPECT_GE(compared, min_compared);
}

}  // namespace tb_test
