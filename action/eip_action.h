#pragma once

// Handlers of the link's broker actions, one static member per action node. The SDK calls them
// on its action pool with the result stream, the path of the node the action hangs on, the
// parameter map and the invocation's error code.

#include <memory>
#include <system_error>

#include "strata_sdk/sdk.h"

class EipAction {
  public:
    using ResultStream = std::shared_ptr<kestrel::strata_sdk::IActionResultStream>;
    using NodePath = kestrel::strata_sdk::NodePath;
    using Variant = kestrel::strata_sdk::Variant;

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
    static void EMStartPollingNodeAction(const ResultStream& stream, const NodePath& path,
                                         const Variant& params, const std::error_code& ec);
    static void EMStopPollingNodeAction(const ResultStream& stream, const NodePath& path,
                                        const Variant& params, const std::error_code& ec);
    static void IOStartPollingNodeAction(const ResultStream& stream, const NodePath& path,
                                         const Variant& params, const std::error_code& ec);
    static void IOStopPollingNodeAction(const ResultStream& stream, const NodePath& path,
                                        const Variant& params, const std::error_code& ec);

    // Tag and subtag nodes.
    static void EMWriteDataNodeAction(const ResultStream& stream, const NodePath& path,
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
