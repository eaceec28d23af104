#pragma once

// Helpers shared by the node tree's translation units (tree and values, action catalogue).
// Not part of the public interface of tb_node.

#include <memory>
#include <string>
#include <system_error>

#include "strata_sdk/sdk.h"

namespace eip_node_detail {

// The responder of `link`, fetched afresh; null (and logged) when the link is not running.
std::shared_ptr<kestrel::strata_sdk::Responder> GetResponder(kestrel::strata_sdk::Link& link,
                                                             const char* operation);

// Completion of create_node / update_node: a failure is logged with link error 10006.
kestrel::strata_sdk::CreateNodeCallback LogCreateFailure(const kestrel::strata_sdk::NodePath& path);
kestrel::strata_sdk::StatusCallback LogUpdateFailure(const kestrel::strata_sdk::NodePath& path);
// Completion of remove_node: a failure is logged with link error 10007.
kestrel::strata_sdk::StatusCallback LogRemoveFailure(const kestrel::strata_sdk::NodePath& path);

// Logs a failed node operation at level 2 as "(<sdk code>): <sdk message> - error:<link code>:
// <path>".
void LogNodeFailure(const std::error_code& ec, int linkCode,
                    const kestrel::strata_sdk::NodePath& path);

}  // namespace eip_node_detail
