#pragma once

// Handlers of the link's broker actions, one member per action node, over the PLC registry and
// the node tree of a LinkContext. The SDK calls them on its action pool with the result stream,
// the path of the node the action hangs on, the parameter map and the invocation's error code.

#include <memory>
#include <system_error>

#include "device/eip_device.h"
#include "strata_sdk/sdk.h"

struct LinkContext;

// The single row of a values result: true and a value on success, false and the message on
// failure.
class MyActionValuesResult : public kestrel::strata_sdk::ActionValuesResult {
  public:
    MyActionValuesResult(kestrel::strata_sdk::ActionResult::SuccessType,
                         const kestrel::strata_sdk::Variant& value);
    MyActionValuesResult(kestrel::strata_sdk::ActionResult::ErrorType, const std::string& message);
};

// Threads: every handler runs on the SDK's action pool, several at once. An EipAction is a
// copyable handle on the context and keeps no state of its own; PLCs are looked up in the
// registry at each call and their own locks guard them, the template cache guards itself.
class EipAction {
  public:
    using ResultStream = std::shared_ptr<kestrel::strata_sdk::IActionResultStream>;
    using NodePath = kestrel::strata_sdk::NodePath;
    using Variant = kestrel::strata_sdk::Variant;
    // An action node's handler, bound to an EipAction by the action catalogue.
    using Handler = void (EipAction::*)(const ResultStream& stream, const NodePath& path,
                                        const Variant& params, const std::error_code& ec) const;

    explicit EipAction(LinkContext& context) : context_(context) {}

    // Parameter readers. 0 when `key` holds a string (stored trimmed) / a number (stored as a
    // double); otherwise -1, or 0 with the output untouched when `optional` is non-zero.
    // Parameters that are not a map throw the SDK's "not a map" exception.
    static int ParseStringParam(const Variant& params, const std::string& key, uint8_t optional,
                                std::string& out);
    static int ParseNumberParam(const Variant& params, const std::string& key, uint8_t optional,
                                double& out);

    // The device's twelve node callbacks, each bound to the EipNode function of the same
    // meaning on this context. Used by Add PLC and by the restore of a stored PLC.
    EipDeviceCallbacks MakeDeviceCallbacks() const;

    // Root and PLC node.
    void AddPLCNodeAction(const ResultStream& stream, const NodePath& path, const Variant& params,
                          const std::error_code& ec) const;
    void RemovePLCNodeAction(const ResultStream& stream, const NodePath& path,
                             const Variant& params, const std::error_code& ec) const;

    // "EM Tags" and "IO Tags" folders.
    void AddTagsNodeAction(const ResultStream& stream, const NodePath& path, const Variant& params,
                           const std::error_code& ec) const;
    void EditTagsNodeAction(const ResultStream& stream, const NodePath& path, const Variant& params,
                            const std::error_code& ec) const;
    void RemoveTagsNodeAction(const ResultStream& stream, const NodePath& path,
                              const Variant& params, const std::error_code& ec) const;
    void WriteTagsNodeAction(const ResultStream& stream, const NodePath& path,
                             const Variant& params, const std::error_code& ec) const;
    void ResetTagsNodeAction(const ResultStream& stream, const NodePath& path,
                             const Variant& params, const std::error_code& ec) const;
    void ExportTagsNodeAction(const ResultStream& stream, const NodePath& path,
                              const Variant& params, const std::error_code& ec) const;
    // "Browse Tags" of a Logix PLC's "EM Tags": the controller's tag list as a table.
    void BrowseTagsNodeAction(const ResultStream& stream, const NodePath& path,
                              const Variant& params, const std::error_code& ec) const;
    void ExplicitStartPollingNodeAction(const ResultStream& stream, const NodePath& path,
                                        const Variant& params, const std::error_code& ec) const;
    void ExplicitStopPollingNodeAction(const ResultStream& stream, const NodePath& path,
                                       const Variant& params, const std::error_code& ec) const;
    void IOStartPollingNodeAction(const ResultStream& stream, const NodePath& path,
                                  const Variant& params, const std::error_code& ec) const;
    void IOStopPollingNodeAction(const ResultStream& stream, const NodePath& path,
                                 const Variant& params, const std::error_code& ec) const;

    // Tag and subtag nodes.
    void ExplicitWriteDataNodeAction(const ResultStream& stream, const NodePath& path,
                                     const Variant& params, const std::error_code& ec) const;
    void IOAddSubNodeAction(const ResultStream& stream, const NodePath& path, const Variant& params,
                            const std::error_code& ec) const;
    void IOExportSubNodeAction(const ResultStream& stream, const NodePath& path,
                               const Variant& params, const std::error_code& ec) const;
    void IOImportSubNodeAction(const ResultStream& stream, const NodePath& path,
                               const Variant& params, const std::error_code& ec) const;
    void IOEditSubNodeAction(const ResultStream& stream, const NodePath& path,
                             const Variant& params, const std::error_code& ec) const;
    void IORemoveSubNodeAction(const ResultStream& stream, const NodePath& path,
                               const Variant& params, const std::error_code& ec) const;

  private:
    LinkContext& context_;
};
