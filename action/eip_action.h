#pragma once

// Handlers of the link's broker actions, one static member per action node. The SDK calls them
// on its action pool with the result stream, the path of the node the action hangs on, the
// parameter map and the invocation's error code.

#include <memory>
#include <system_error>

#include "device/eip_device.h"
#include "strata_sdk/sdk.h"

// The single row of a values result: true and a value on success, false and the message on
// failure.
class MyActionValuesResult : public kestrel::strata_sdk::ActionValuesResult {
  public:
    MyActionValuesResult(kestrel::strata_sdk::ActionResult::SuccessType,
                         const kestrel::strata_sdk::Variant& value);
    MyActionValuesResult(kestrel::strata_sdk::ActionResult::ErrorType, const std::string& message);
};

// Threads: every handler runs on the SDK's action pool, several at once. The module keeps no
// state; PLCs are looked up in the registry at each call and their own locks guard them.
class EipAction {
  public:
    using ResultStream = std::shared_ptr<kestrel::strata_sdk::IActionResultStream>;
    using NodePath = kestrel::strata_sdk::NodePath;
    using Variant = kestrel::strata_sdk::Variant;

    // Parameter readers. 0 when `key` holds a string (stored trimmed) / a number (stored as a
    // double); otherwise -1, or 0 with the output untouched when `optional` is non-zero.
    // Parameters that are not a map throw the SDK's "not a map" exception.
    static int ParseStringParam(const Variant& params, const std::string& key, uint8_t optional,
                                std::string& out);
    static int ParseNumberParam(const Variant& params, const std::string& key, uint8_t optional,
                                double& out);

    // The device's twelve node callbacks, each bound to the EipNode function of the same
    // meaning. Used by Add PLC and by the restore of a stored PLC.
    static EipDeviceCallbacks MakeDeviceCallbacks();

    // Root and PLC node.
    static void AddPLCNodeAction(const ResultStream& stream, const NodePath& path,
                                 const Variant& params, const std::error_code& ec);
    static void RemovePLCNodeAction(const ResultStream& stream, const NodePath& path,
                                    const Variant& params, const std::error_code& ec);

    // "EM Tags" and "IO Tags" folders.
    static void AddTagsNodeAction(const ResultStream& stream, const NodePath& path,
                                  const Variant& params, const std::error_code& ec);
    static void EditTagsNodeAction(const ResultStream& stream, const NodePath& path,
                                   const Variant& params, const std::error_code& ec);
    static void RemoveTagsNodeAction(const ResultStream& stream, const NodePath& path,
                                     const Variant& params, const std::error_code& ec);
    static void WriteTagsNodeAction(const ResultStream& stream, const NodePath& path,
                                    const Variant& params, const std::error_code& ec);
    static void ResetTagsNodeAction(const ResultStream& stream, const NodePath& path,
                                    const Variant& params, const std::error_code& ec);
    static void ExportTagsNodeAction(const ResultStream& stream, const NodePath& path,
                                     const Variant& params, const std::error_code& ec);
    // "Browse Tags" of a Logix PLC's "EM Tags": the controller's tag list as a table.
    static void BrowseTagsNodeAction(const ResultStream& stream, const NodePath& path,
                                     const Variant& params, const std::error_code& ec);
    static void ExplicitStartPollingNodeAction(const ResultStream& stream, const NodePath& path,
                                               const Variant& params, const std::error_code& ec);
    static void ExplicitStopPollingNodeAction(const ResultStream& stream, const NodePath& path,
                                              const Variant& params, const std::error_code& ec);
    static void IOStartPollingNodeAction(const ResultStream& stream, const NodePath& path,
                                         const Variant& params, const std::error_code& ec);
    static void IOStopPollingNodeAction(const ResultStream& stream, const NodePath& path,
                                        const Variant& params, const std::error_code& ec);

    // Tag and subtag nodes.
    static void ExplicitWriteDataNodeAction(const ResultStream& stream, const NodePath& path,
                                            const Variant& params, const std::error_code& ec);
    static void IOAddSubNodeAction(const ResultStream& stream, const NodePath& path,
                                   const Variant& params, const std::error_code& ec);
    static void IOExportSubNodeAction(const ResultStream& stream, const NodePath& path,
                                      const Variant& params, const std::error_code& ec);
    static void IOImportSubNodeAction(const ResultStream& stream, const NodePath& path,
                                      const Variant& params, const std::error_code& ec);
    static void IOEditSubNodeAction(const ResultStream& stream, const NodePath& path,
                                    const Variant& params, const std::error_code& ec);
    static void IORemoveSubNodeAction(const ResultStream& stream, const NodePath& path,
                                      const Variant& params, const std::error_code& ec);
};
