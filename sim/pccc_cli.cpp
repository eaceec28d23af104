#include "sim/pccc_cli.h"

#include <cctype>
#include <cstdio>
#include <fstream>

#include <nlohmann/json.hpp>

namespace plcsim {

namespace {

// The sender context field of an encapsulation header.
constexpr size_t kSenderContextOffset = 12;
constexpr size_t kSenderContextSize = 8;

// File letters of a data-table address ("ST", "N"); 0 for letters no controller uses.
uint8_t FileTypeOfLetters(const std::string& letters) {
    static const struct {
        const char* letters;
        uint8_t type;
    } kLetters[] = {
        {"O", PCCC_FILE_TYPE_OUTPUT},  {"I", PCCC_FILE_TYPE_INPUT},   {"S", PCCC_FILE_TYPE_STATUS},
        {"B", PCCC_FILE_TYPE_BIT},     {"T", PCCC_FILE_TYPE_TIMER},   {"C", PCCC_FILE_TYPE_COUNTER},
        {"R", PCCC_FILE_TYPE_CONTROL}, {"N", PCCC_FILE_TYPE_INTEGER}, {"F", PCCC_FILE_TYPE_FLOAT},
        {"ST", PCCC_FILE_TYPE_STRING}, {"A", PCCC_FILE_TYPE_ASCII},   {"L", PCCC_FILE_TYPE_LONG},
    };
    for (const auto& entry : kLetters) {
        if (letters == entry.letters) {
            return entry.type;
        }
    }
    return 0;
}

// "N7:500" -> file 7 of type N with 500 elements.
bool DefineFileFromText(const std::string& text, PcccDataTable& table, std::string& error) {
    size_t letters = 0;
    while (letters < text.size() && std::isalpha(static_cast<unsigned char>(text[letters]))) {
        ++letters;
    }
    std::string upper = text.substr(0, letters);
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    unsigned file = 0;
    unsigned elements = 0;
    char extra = 0;
    const uint8_t type = FileTypeOfLetters(upper);
    if (type == 0 ||
        std::sscanf(text.c_str() + letters, "%u:%u%c", &file, &elements, &extra) != 2 ||
        file > 0xFFFE || elements < 1 || elements > 0xFFFF) {
        error = "PCCC file must be LETTERS NUMBER:ELEMENTS (O I S B T C R N F ST A L), not '" +
                text + "'";
        return false;
    }
    if (!table.DefineFile(static_cast<uint16_t>(file), type, static_cast<uint16_t>(elements))) {
        error = "this PCCC controller has no " + upper + " files: '" + text + "'";
        return false;
    }
    return true;
}

}  // namespace

void AddPcccOptions(CLI::App& app, PcccCliOptions& options) {
    app.add_option("--plc-type", options.plcType,
                   "PCCC controller kind with --family pccc: plc5 (default), slc500 or "
                   "micrologix; it sets the files offered, the largest transfer (240, 236, 234 "
                   "bytes) and the product name")
        ->check(CLI::IsMember({"plc5", "slc500", "micrologix"}));
    app.add_option("--pccc-file", options.files,
                   "LETTERS NUMBER:ELEMENTS, e.g. N7:500 or T4:10: define or resize a data file "
                   "(zeroed); repeatable");
    app.add_flag("--no-identity-object", options.noIdentityObject,
                 "answer the Identity object with \"path destination unknown\", as some "
                 "bridges do");
    app.add_flag("--no-list-identity", options.noListIdentity,
                 "leave ListIdentity over TCP unanswered");
    app.add_flag("--zero-sender-context", options.zeroSenderContext,
                 "SendRRData replies carry a zero sender context instead of the request's");
}

bool ResolvePcccOptions(PcccCliOptions& options, const std::string& tagsFile, PcccPlcType& type,
                        std::string& error) {
    // An unreadable or malformed file is left for the Logix tag loader to report.
    std::ifstream file(tagsFile);
    const nlohmann::json document =
        file ? nlohmann::json::parse(file, nullptr, false) : nlohmann::json();
    if (document.is_object()) {
        if (options.plcType.empty() && document.contains("plcType")) {
            const nlohmann::json& kind = document["plcType"];
            options.plcType = kind.is_string() ? kind.get<std::string>() : kind.dump();
        }
        const nlohmann::json files = document.value("pcccFiles", nlohmann::json::array());
        std::vector<std::string> fromFile;
        for (const nlohmann::json& entry :
             files.is_array() ? files : nlohmann::json::array({files})) {
            fromFile.push_back(entry.is_string() ? entry.get<std::string>() : entry.dump());
        }
        options.files.insert(options.files.begin(), fromFile.begin(), fromFile.end());
    }
    const std::optional<PcccPlcType> parsed =
        ParsePcccPlcType(options.plcType.empty() ? "plc5" : options.plcType);
    if (!parsed) {
        error = "plcType must be plc5, slc500 or micrologix, not '" + options.plcType + "'";
        return false;
    }
    type = *parsed;
    return true;
}

bool ApplyPcccOptions(const PcccCliOptions& options, PcccDataTable& table, PlcSimulator& simulator,
                      std::string& error) {
    for (const std::string& file : options.files) {
        if (!DefineFileFromText(file, table, error)) {
            return false;
        }
    }
    if (options.noIdentityObject) {
        HideIdentityObject(simulator);
    }
    if (options.noListIdentity) {
        IgnoreListIdentity(simulator);
    }
    if (options.zeroSenderContext) {
        ZeroSenderContext(simulator);
    }
    return true;
}

void HideIdentityObject(PlcSimulator& simulator) {
    simulator.Router().RegisterClass(CIP_CLASS_IDENTITY, [](const CipRequest&) {
        return CipReply::Error(CIP_STATUS_PATH_DESTINATION_UNKNOWN);
    });
}

void IgnoreListIdentity(PlcSimulator& simulator) {
    Fault fault;
    fault.action = FaultAction::Drop;
    fault.count = 0;
    fault.command = EIP_CMD_LIST_IDENTITY;
    simulator.InjectFault(fault);
}

void ZeroSenderContext(PlcSimulator& simulator) {
    Fault fault;
    fault.action = FaultAction::Mutate;
    fault.count = 0;
    fault.command = EIP_CMD_SEND_RR_DATA;
    fault.mutate = [](std::vector<uint8_t>& message) {
        if (message.size() >= kSenderContextOffset + kSenderContextSize) {
            std::fill_n(message.begin() + kSenderContextOffset, kSenderContextSize, 0);
        }
    };
    simulator.InjectFault(fault);
}

}  // namespace plcsim
