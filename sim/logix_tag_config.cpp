#include "sim/logix_tag_config.h"

#include <fstream>
#include <sstream>

namespace plcsim {

namespace {

// Array dimensions are counted in 32 bits; the database limits the tag's total size.
constexpr uint32_t kMaxDimension = 0xFFFFFFFF;

bool ReadAnimation(const nlohmann::json& object, LogixAnimation::Kind kind, LogixAnimation& out,
                   std::string& error) {
    if (!object.is_object()) {
        error = "an animation must be an object";
        return false;
    }
    out.kind = kind;
    for (const auto& item : object.items()) {
        const std::string& key = item.key();
        const nlohmann::json& value = item.value();
        if (!value.is_number()) {
            error = "animation field \"" + key + "\" must be a number";
            return false;
        }
        if (key == "step") {
            out.step = value.get<double>();
        } else if (key == "min") {
            out.min = value.get<double>();
        } else if (key == "max") {
            out.max = value.get<double>();
        } else if (key == "periodMs" && value.is_number_unsigned()) {
            out.periodMs = value.get<uint32_t>();
        } else {
            error = "unknown or invalid animation field \"" + key + "\"";
            return false;
        }
    }
    return true;
}

// Splits text at sep; an empty text gives no parts.
std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    if (text.empty()) {
        return parts;
    }
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, sep)) {
        parts.push_back(part);
    }
    if (text.back() == sep) {
        parts.emplace_back();
    }
    return parts;
}

bool ParseDouble(const std::string& text, double& out) {
    try {
        size_t used = 0;
        out = std::stod(text, &used);
        return used == text.size();
    } catch (const std::exception&) {
        return false;
    }
}

// "counter[:STEP[:PERIOD_MS]]" or "ramp:MIN:MAX[:STEP[:PERIOD_MS]]".
bool ParseAnimationOption(const std::string& text, LogixAnimation& out, std::string& error) {
    const std::vector<std::string> parts = Split(text, ':');
    const bool ramp = !parts.empty() && parts[0] == "ramp";
    const size_t fixed = ramp ? 3 : 1;
    if (parts.empty() || (!ramp && parts[0] != "counter") || parts.size() < fixed ||
        parts.size() > fixed + 2) {
        error = "animation must be counter[:STEP[:PERIOD_MS]] or ramp:MIN:MAX[:STEP[:PERIOD_MS]]";
        return false;
    }
    std::vector<double> numbers;
    for (size_t i = 1; i < parts.size(); ++i) {
        double value = 0;
        if (!ParseDouble(parts[i], value)) {
            error = "animation value \"" + parts[i] + "\" is not a number";
            return false;
        }
        numbers.push_back(value);
    }
    out.kind = ramp ? LogixAnimation::Kind::Ramp : LogixAnimation::Kind::Counter;
    size_t next = 0;
    if (ramp) {
        out.min = numbers[0];
        out.max = numbers[1];
        next = 2;
    }
    if (next < numbers.size()) {
        out.step = numbers[next++];
    }
    if (next < numbers.size()) {
        if (numbers[next] < 1 || numbers[next] > 86400000) {
            error = "animation period must be 1 to 86400000 ms";
            return false;
        }
        out.periodMs = static_cast<uint32_t>(numbers[next]);
    }
    return true;
}

// "TYPE" or "TYPE[d1,d2,d3]".
bool ParseTypeAndDims(const std::string& text, LogixTagDefinition& out, std::string& error) {
    const size_t open = text.find('[');
    out.type = text.substr(0, open);
    if (open == std::string::npos) {
        return true;
    }
    if (text.back() != ']') {
        error = "dimensions must be written [d1,d2,d3]";
        return false;
    }
    for (const std::string& part : Split(text.substr(open + 1, text.size() - open - 2), ',')) {
        double value = 0;
        if (!ParseDouble(part, value) || value < 1 || value > kMaxDimension ||
            value != static_cast<uint32_t>(value)) {
            error = "dimension \"" + part + "\" must be a whole number of 1 to " +
                    std::to_string(kMaxDimension);
            return false;
        }
        out.dims.push_back(static_cast<uint32_t>(value));
    }
    return true;
}

LogixTagDefinition Demo(const std::string& name, const std::string& type, nlohmann::json value,
                        std::vector<uint32_t> dims = {}) {
    LogixTagDefinition tag;
    tag.name = name;
    tag.type = type;
    tag.dims = std::move(dims);
    tag.value = std::move(value);
    return tag;
}

}  // namespace

bool ParseLogixTagJson(const nlohmann::json& object, LogixTagDefinition& out, std::string& error) {
    out = LogixTagDefinition{};
    if (!object.is_object() || !object.contains("name") || !object["name"].is_string() ||
        !object.contains("type") || !object["type"].is_string()) {
        error = "a tag needs a \"name\" and a \"type\" text";
        return false;
    }
    out.name = object["name"].get<std::string>();
    out.type = object["type"].get<std::string>();
    for (const auto& item : object.items()) {
        const std::string& key = item.key();
        if (key == "name" || key == "type") {
            continue;
        }
        if (key == "value") {
            out.value = item.value();
        } else if (key == "dims") {
            if (!item.value().is_array()) {
                error = "tag " + out.name + ": \"dims\" must be an array";
                return false;
            }
            for (const auto& d : item.value()) {
                if (!d.is_number_unsigned() || d.get<uint64_t>() > kMaxDimension) {
                    error = "tag " + out.name + ": dimensions must be whole numbers";
                    return false;
                }
                out.dims.push_back(d.get<uint32_t>());
            }
        } else if (key == "counter" || key == "ramp") {
            const auto kind =
                key == "ramp" ? LogixAnimation::Kind::Ramp : LogixAnimation::Kind::Counter;
            if (!ReadAnimation(item.value(), kind, out.animation, error)) {
                error = "tag " + out.name + ": " + error;
                return false;
            }
        } else {
            error = "tag " + out.name + ": unknown field \"" + key + "\"";
            return false;
        }
    }
    return true;
}

bool ParseLogixTypeJson(const nlohmann::json& object, LogixTypeDefinition& out,
                        std::string& error) {
    out = LogixTypeDefinition{};
    if (!object.is_object() || !object.contains("name") || !object["name"].is_string()) {
        error = "a type needs a \"name\" text";
        return false;
    }
    out.name = object["name"].get<std::string>();
    const nlohmann::json length = object.value("string", nlohmann::json());
    const nlohmann::json members = object.value("members", nlohmann::json());
    if (length.is_number_unsigned() && length.get<uint64_t>() >= 1 &&
        length.get<uint64_t>() <= 0xFFFF && members.is_null() && object.size() == 2) {
        out.stringLength = length.get<uint32_t>();
        return true;
    }
    if (!members.is_array() || object.size() != 2) {
        error = "type " + out.name + " needs \"members\" (an array) or \"string\" (1 to 65535)";
        return false;
    }
    for (const nlohmann::json& member : members) {
        const nlohmann::json count = member.value("length", nlohmann::json(0u));
        if (!member.contains("name") || !member["name"].is_string() || !member.contains("type") ||
            !member["type"].is_string() || !count.is_number_unsigned() ||
            count.get<uint64_t>() > 0xFFFF ||
            member.size() != (member.contains("length") ? 3u : 2u)) {
            error = "type " + out.name +
                    ": a member is {\"name\", \"type\"[, \"length\"]}: " + member.dump();
            return false;
        }
        out.members.push_back({member["name"].get<std::string>(), member["type"].get<std::string>(),
                               count.get<uint32_t>()});
    }
    return true;
}

bool LoadLogixTagFile(const std::string& path, std::vector<LogixTagDefinition>& out,
                      std::string& error, std::vector<LogixTypeDefinition>* types) {
    std::ifstream file(path);
    if (!file) {
        error = "cannot open tag file " + path;
        return false;
    }
    nlohmann::json document = nlohmann::json::parse(file, nullptr, false);
    if (document.is_discarded()) {
        error = "tag file " + path + " is not valid JSON";
        return false;
    }
    const nlohmann::json typeList =
        document.is_object() ? document.value("types", nlohmann::json()) : nlohmann::json();
    if (!typeList.is_null() && (types == nullptr || !typeList.is_array())) {
        error = "tag file " + path + ": \"types\" must be an array, read where types are taken";
        return false;
    }
    for (const nlohmann::json& object : typeList) {
        LogixTypeDefinition type;
        if (!ParseLogixTypeJson(object, type, error)) {
            error = path + ": " + error;
            return false;
        }
        types->push_back(std::move(type));
    }
    const nlohmann::json& list =
        document.is_object() && document.contains("tags") ? document["tags"] : document;
    if (!list.is_array()) {
        error = "tag file " + path + " must hold an array of tags or {\"tags\": [...]}";
        return false;
    }
    for (const nlohmann::json& object : list) {
        LogixTagDefinition tag;
        if (!ParseLogixTagJson(object, tag, error)) {
            error = path + ": " + error;
            return false;
        }
        out.push_back(std::move(tag));
    }
    return true;
}

bool ParseLogixTagOption(const std::string& text, LogixTagDefinition& out, std::string& error) {
    out = LogixTagDefinition{};
    // A program's tag ("Program:Main.Step:DINT") has its name's own colon first.
    const size_t nameStart = text.compare(0, 8, "Program:") == 0 ? 8 : 0;
    const size_t colon = text.find(':', nameStart);
    if (colon == std::string::npos || colon == 0) {
        error = "tag \"" + text + "\" must be NAME:TYPE[DIMS][=VALUE][@ANIMATION]";
        return false;
    }
    out.name = text.substr(0, colon);
    std::string rest = text.substr(colon + 1);
    const size_t equals = rest.find('=');
    std::string typeText = rest.substr(0, std::min(equals, rest.find('@')));
    if (!ParseTypeAndDims(typeText, out, error)) {
        error = "tag " + out.name + ": " + error;
        return false;
    }
    const bool isString =
        FindLogixType(out.type) != nullptr && FindLogixType(out.type)->handle == kLogixStringHandle;
    std::string valueText;
    std::string animationText;
    rest = rest.substr(typeText.size());
    if (!rest.empty() && rest[0] == '=') {
        // A STRING value is the text itself; others end where an animation starts.
        const size_t at = isString ? std::string::npos : rest.find('@');
        valueText = rest.substr(1, at == std::string::npos ? std::string::npos : at - 1);
        rest = at == std::string::npos ? "" : rest.substr(at);
    }
    if (!rest.empty()) {
        if (rest[0] != '@' || !ParseAnimationOption(rest.substr(1), out.animation, error)) {
            error =
                "tag " + out.name + ": " + (error.empty() ? "unexpected \"" + rest + "\"" : error);
            return false;
        }
    }
    if (isString) {
        out.value = valueText;
    } else if (!valueText.empty()) {
        out.value = nlohmann::json::parse(valueText, nullptr, false);
        if (out.value.is_discarded() || (!out.dims.empty() && !out.value.is_array())) {
            out.value = nlohmann::json::parse("[" + valueText + "]", nullptr, false);
        }
        // A type plcsim does not know here (a user's custom string) takes the text itself.
        if (out.value.is_discarded() && out.dims.empty() && FindLogixType(out.type) == nullptr) {
            out.value = valueText;
        }
        if (out.value.is_discarded()) {
            error = "tag " + out.name + ": value \"" + valueText + "\" is not understood";
            return false;
        }
    }
    return true;
}

std::vector<LogixTagDefinition> LogixDemoTags() {
    std::vector<LogixTagDefinition> tags;
    LogixTagDefinition counter = Demo("Counter", "DINT", 0);
    counter.animation = LogixAnimation{LogixAnimation::Kind::Counter, 1, 0, 0, 1000};
    tags.push_back(counter);
    LogixTagDefinition ramp = Demo("Ramp", "REAL", 0.0);
    ramp.animation = LogixAnimation{LogixAnimation::Kind::Ramp, 0.5, 0, 100, 100};
    tags.push_back(ramp);
    tags.push_back(Demo("Flag", "BOOL", true));
    tags.push_back(Demo("Small", "SINT", -7));
    tags.push_back(Demo("Word", "INT", 1234));
    tags.push_back(Demo("Value", "DINT", 100000));
    tags.push_back(Demo("Level", "REAL", 12.5));
    tags.push_back(Demo("Buffer", "DINT", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, {10}));
    tags.push_back(Demo("Grid", "INT", nullptr, {3, 4}));
    tags.push_back(Demo("Message", "STRING", "hello from plcsim"));
    tags.push_back(
        Demo("Motor1", "MOTOR", {{"Running", true}, {"Speed", 1450.5}, {"Name", "Pump 1"}}));
    // A program's own tags, and a hidden tag that browsing leaves out.
    LogixTagDefinition step = Demo("Program:MainProgram.Step", "DINT", 0);
    step.animation = LogixAnimation{LogixAnimation::Kind::Counter, 1, 0, 0, 500};
    tags.push_back(step);
    tags.push_back(Demo("Program:MainProgram.Setpoint", "REAL", 42.5));
    tags.push_back(Demo("__Trace", "DINT", 0));
    // A timer enabled from the start that starts over every 10 s once done, a counter counting
    // every second.
    LogixTagDefinition timer = Demo("Timer1", "TIMER", {{"PRE", 10000}, {"EN", true}});
    timer.animation = LogixAnimation{LogixAnimation::Kind::Counter, 1, 0, 0, 1000};
    tags.push_back(timer);
    LogixTagDefinition count = Demo("Count1", "COUNTER", {{"PRE", 100}});
    count.animation = LogixAnimation{LogixAnimation::Kind::Counter, 1, 0, 0, 1000};
    tags.push_back(count);
    tags.push_back(Demo("Label", "STRING32", "Line 3"));
    return tags;
}

std::vector<LogixTypeDefinition> LogixDemoTypes() {
    LogixTypeDefinition label;
    label.name = "STRING32";
    label.stringLength = 32;
    return {label};
}

}  // namespace plcsim
