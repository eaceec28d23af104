#pragma once

// One configured tag of one PLC: its configuration record, its subtags and its parsed address.
// The family variants (ControlLogixTag, PcccTag) are made by EipTag::Create. The class also
// holds the vocabulary that turns RW flags, output types and inner types into text and back.
//
// Threads: info and the tag data take no lock of their own; the owning device guards them with
// its tag-map lock. `tested` is atomic: the polling thread reads it while an action's test read
// resets it. The subtag map is guarded by subtagMutex alone, which every subtag operation holds
// for its whole run without calling another locked operation.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/eip_utils.h"
#include "family/eip_tagdata.h"
#include "strata_sdk/sdk.h"

// Bits of the `fields` result of EipTag::JsonToSubTagInfo: which keys the object gave.
constexpr int kSubtagFieldAlias = 1;
constexpr int kSubtagFieldOffset = 2;
constexpr int kSubtagFieldInnerType = 4;
constexpr int kSubtagFieldDataLen = 8;
constexpr int kSubtagFieldsAll = 15;

// The subtag every I/O tag has, covering its whole data; never edited, removed or exported.
constexpr const char* kSubtagDataAlias = "Data";

class EipTag {
  public:
    using Variant = kestrel::strata_sdk::Variant;

    virtual ~EipTag() = default;
    EipTag(const EipTag&) = delete;
    EipTag& operator=(const EipTag&) = delete;

    // 1 (CIP/EIP) gives a ControlLogixTag, 0 (PCCC) a PcccTag, anything else (or no memory)
    // null. The caller owns the result.
    static EipTag* Create(ProtocolFamily family);

    // Copies every field but `family`, which belongs to the subclass.
    virtual void SetInfo(const TagInfo& tagInfo);
    virtual const EipTagData& GetTagData() const = 0;
    // Parses the tag's name (Logix) or address (PCCC). -1 on malformed text, info unchanged;
    // otherwise copies the element count into info and returns the encoded address length.
    virtual int32_t ParsingTagName() = 0;

    // One element of a write turned into controller bytes for info.innerType. Returns the bytes
    // written, 0 for a type this conversion does not handle, -1 for a value that cannot be
    // converted, -2 for a buffer too small for a number. Never writes past size.
    virtual int32_t ConvertJson2Raw(const Variant& value, uint8_t* buffer, uint16_t size) const;
    // A whole write: one element, or an array of up to the tag's element count, the missing
    // trailing elements filled with zeros. Same results as ConvertJson2Raw.
    int32_t ConvertVexa2Raw(const Variant& value, uint8_t* buffer, uint16_t size) const;

    const TagInfo& GetInfo() const { return info; }
    TagInfo& GetInfo() { return info; }
    bool IsTested() const { return tested.load(); }
    void SetTested(bool value) { tested.store(value); }

    // Subtags: slices of an I/O tag's data. Results 0 or -1.
    bool IsValidSubTagInfo(const SubTagInfo& subtag) const;
    int AddSubTag(const SubTagInfo& subtag);
    // Replaces the subtag stored under oldAlias by subtag (a rename when the aliases differ).
    // A rename onto another existing subtag is refused and changes nothing.
    int EditSubTag(const std::string& oldAlias, const SubTagInfo& subtag);
    int RemoveSubTag(const std::string& alias);
    // A copy of the subtag, or an empty record when the alias is unknown.
    SubTagInfo GetSubTagInfo(const std::string& alias) const;
    // Copies of all subtags in alias order ("Data" included).
    std::vector<SubTagInfo> GetSubTags() const;
    // Reads one subtag object of an import or an edit into subtag, setting bits of fields for
    // the keys it gave. Returns the alias under which the subtag is currently stored (the old
    // alias when "New Alias" renames it), or "" when there is no alias.
    static std::string JsonToSubTagInfo(const Variant& value, SubTagInfo& subtag, int& fields);
    // Replaces out with the JSON list of subtags (without "Data"); returns how many it wrote.
    int ExportSubTags(std::string& out) const;
    // The tag as one Export Tags entry (a JSON object Add Tags accepts again).
    std::string ExportTag() const;

    // Vocabulary.
    static uint8_t StrToRWFlag(const std::string& text);
    static std::string RWFlagToStr(uint8_t rwFlag);
    static OutputType StrToOutputType(const std::string& text);
    static std::string OutputTypeToStr(OutputType outputType);
    static int32_t StrToInnerType(const std::string& text);
    static std::string InnerTypeToStr(int32_t innerType);
    static std::string InnerTypeToStrWithLength(int32_t innerType);
    static int32_t GetInnerTypeLength(int32_t innerType);
    // 0 for the types the link reads and writes, 10032 ("to be supported") otherwise.
    static int32_t SupportInnerType(int32_t innerType);

  protected:
    EipTag() = default;

    // Logs a failed string conversion as a failed write (link error 10036).
    static void LogConversionFailure(kestrel::strata_sdk::LogLevel level, const std::string& text);
    // A type code as "0x" and four upper-case hexadecimal digits.
    static std::string TypeHex(int32_t type);

    TagInfo info;

  private:
    int32_t ConvertNumber(const Variant& value, uint8_t* buffer, uint16_t size) const;
    int32_t ConvertString(const Variant& value, uint8_t* buffer, uint16_t size) const;

    std::map<std::string, SubTagInfo> subtags;
    mutable std::mutex subtagMutex;
    std::atomic<bool> tested{false};
};
