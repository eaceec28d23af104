// The tag table of a device: its EM and I/O tags and their subtags, the add, edit, remove and
// write operations, the stored tag texts awaiting the restore's replay, and the export texts.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/eip_utils.h"
#include "device/device_types.h"
#include "device/poll_list.h"
#include "strata_sdk/sdk.h"

class DeviceSession;
class EipConnection;
class EipTag;
class ProtocolHandler;

// Threads and locks:
// - SDK threads (actions, the restore's replay) run the operations; the socket thread checks
//   that a polled tag is still mapped and records the size the PLC reports; the queue thread
//   reads an I/O tag's subtags.
// - mutex_ guards both tag maps and the tags' records; persistMutex_ the stored tag texts and
//   subtags. Neither is held across a PLC exchange or a callback.
// - Lock order: the poll list's lock, then mutex_, then the session's lock. A remove or an
//   edit changes the map and the poll list in one step under both.
class TagTable {
  public:
    TagTable(DeviceSession& session, PollList& pollList, DeviceCallbacks& callbacks,
             const DeviceLife& life);
    TagTable(const TagTable&) = delete;
    TagTable& operator=(const TagTable&) = delete;

    std::shared_ptr<EipTag> FindTagByAlias(const std::string& alias, int8_t kind);
    // A copy of the record of the tag; false when there is none.
    bool CopyTagInfo(const std::string& alias, int8_t kind, TagInfo& info);
    // Copies of the tag records of a kind, in alias order, whose RW flag has
    // any bit of rwMask (0 selects all).
    std::vector<TagInfo> ListTagInfos(int8_t kind, uint8_t rwMask = 0);

    int AddTag(EipConnection* testConnection, const kestrel::strata_sdk::Variant& tagObject,
               int8_t kind, std::string& tagAlias, std::string& message, bool restore);
    int EditTag(EipConnection* testConnection, const kestrel::strata_sdk::Variant& tagObject,
                int8_t kind, std::string& tagAlias, std::string& message);
    int RemoveTag(const kestrel::strata_sdk::Variant& tagObject, int8_t kind, std::string& tagAlias,
                  std::string& message);
    int WriteTag(EipConnection* testConnection, const kestrel::strata_sdk::Variant& tagObject,
                 int8_t kind, std::string& tagAlias, std::string& message);
    int WriteTagByAlias(EipConnection* plcConnection, const std::string& tagAlias,
                        const kestrel::strata_sdk::Variant& value, int8_t kind,
                        std::string& message);
    int ResetTag(int8_t kind);
    int RemoveTagFromMap(const std::string& tagAlias, int8_t kind, bool notify);
    int AddSubTag(const std::string& tagAlias, const SubTagInfo& subtag, bool notify);
    int EditSubTag(const std::string& tagAlias, const std::string& oldSubTagAlias,
                   const SubTagInfo& subtag, bool notify);
    int RemoveSubTag(const std::string& tagAlias, const std::string& subTagAlias, bool notify);
    int ImportSubTags(const std::string& tagAlias, const kestrel::strata_sdk::Variant& subtags,
                      std::string& message);
    int ExportTags(int8_t kind, std::string& text);
    int ExportSubTags(const std::string& tagAlias, std::string& text);

    // ---- for the polling cycle and the value queue ----
    // The EM tags polling reads, each with its record; called with the poll list's lock held.
    std::vector<PolledTag> ReadTags();
    // Whether the tag is still the one mapped under its alias.
    bool StillMapped(const EipTag& tag);
    // The tag learns its size from the PLC; its polled record is renewed.
    void LearnDataLength(PolledTag& polled, int32_t dataLength);
    // Learns again the layout of a polled structure the controller changed; false when the
    // controller does not give it.
    bool RelearnStructure(EipConnection& plcConnection, PolledTag& polled);
    std::vector<SubTagInfo> IoSubTags(const std::string& tagAlias);

    // ---- the stored configuration ----
    void AddPersistenceTagStr(const kestrel::strata_sdk::NodePath& path, const std::string& text);
    void AddPersistenceSubTagStr(const kestrel::strata_sdk::NodePath& path,
                                 const SubTagInfo& subtag);
    size_t PersistedTagCount();
    // Replays the stored tags and subtags; false (entries kept for the next connection) when
    // no test connection can be made.
    bool ReplayPersistedTags(const EipDeviceCallbacks& cb);

  private:
    using TagMap = std::map<std::string, std::shared_ptr<EipTag>>;

    TagMap& MapOf(int8_t kind);
    std::unique_ptr<ProtocolHandler> FamilyHandler();
    std::unique_ptr<ProtocolHandler> BeginTagRequest(int failCode, std::string& tagAlias,
                                                     std::string& message, int& result);
    static int Fail(int code, std::string& message);
    std::string RequestedTagAlias(const kestrel::strata_sdk::Variant::MapType& map) const;
    bool IsTagAliasExist(const std::string& tagAlias, int8_t kind);
    bool IsTagNameExist(const std::string& tagName, int8_t kind, const std::string& ignoreAlias);
    int ValidateOnAdd(int8_t kind, const TagInfo& info);
    int ValidateOnEdit(int8_t kind, const TagInfo& info);
    std::shared_ptr<EipTag> CreateTag(const TagInfo& info, std::string& message);
    std::shared_ptr<EipTag> CreateCheckedTag(EipConnection* testConnection, const TagInfo& info,
                                             int failCode, bool allowMissing, int& result,
                                             std::string& message);
    int TestAndUpdateTag(EipConnection* plcConnection, EipTag* tag, std::string& message);
    static int32_t MergeStructure(EipConnection* plcConnection, const EipTag& tag,
                                  const kestrel::strata_sdk::Variant& value,
                                  std::vector<uint8_t>& bytes, std::string& reason);
    void AddDataSubTag(EipTag& tag, std::vector<SubTagInfo>& added);
    void AddListedSubTags(EipTag& tag, const std::vector<kestrel::strata_sdk::Variant>& subtagList,
                          std::vector<SubTagInfo>& added, std::string& message);
    int DoAddTag(int8_t kind, std::shared_ptr<EipTag> tag,
                 const std::vector<kestrel::strata_sdk::Variant>& subtagList, std::string& message);
    int AddTagToMap(std::shared_ptr<EipTag> tag, int8_t kind, std::vector<SubTagInfo>* subtags);
    int DoEditTag(int8_t kind, const std::string& oldAlias, std::shared_ptr<EipTag> newTag,
                  const std::vector<kestrel::strata_sdk::Variant>& subtagList,
                  std::string& message);
    template <typename Fn>
    bool WithIOTag(const char* operation, const std::string& tagAlias, Fn fn);
    void ReplayPersistedTag(const EipDeviceCallbacks& cb, EipConnection* test,
                            const kestrel::strata_sdk::NodePath& path, const std::string& text);

    DeviceSession& session_;
    PollList& pollList_;
    DeviceCallbacks& callbacks_;
    const DeviceLife& life_;
    std::mutex mutex_;
    TagMap explicitTagMap_;
    TagMap ioTagMap_;
    std::mutex persistMutex_;
    std::map<kestrel::strata_sdk::NodePath, std::string> persistedTagStrings_;
    std::map<kestrel::strata_sdk::NodePath, SubTagInfo> persistedSubTags_;
};
