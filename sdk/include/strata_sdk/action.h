#pragma once
// Actions: declaration (parameters, columns, result kind), results and result streams.

#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "strata_sdk/node_path.h"
#include "strata_sdk/types.h"
#include "strata_sdk/variant.h"

namespace kestrel::strata_sdk {

enum class Editor : int {
    None = 0,
    TextArea = 1,  // multi-line text
};
namespace editor {
inline constexpr Editor None = Editor::None;
inline constexpr Editor TextArea = Editor::TextArea;
}  // namespace editor
// "textarea", or "" for Editor::None.
const char* editor_name(Editor e) noexcept;

// One input of an action. Choices (enumerations) are one comma-separated text.
class ActionParameter {
  public:
    ActionParameter(std::string name, ValueType type, Variant default_value = Variant(),
                    Editor editor = Editor::None);
    ActionParameter(std::string name, int type, Variant default_value = Variant(),
                    Editor editor = Editor::None);
    ActionParameter(std::string name, ValueType type, Editor editor);
    ActionParameter(std::string name, int type, Editor editor);

    ActionParameter& set_default(Variant value);
    ActionParameter& set_editor(Editor editor);
    // "CIP/EIP,PCCC" -> {"CIP/EIP", "PCCC"}.
    ActionParameter& set_choices(const std::string& comma_separated);

    const std::string& name() const noexcept { return name_; }
    ValueType type() const noexcept { return type_; }
    const Variant& default_value() const noexcept { return default_; }
    Editor editor() const noexcept { return editor_; }
    const std::vector<std::string>& choices() const noexcept { return choices_; }

  private:
    std::string name_;
    ValueType type_;
    Variant default_;
    Editor editor_;
    std::vector<std::string> choices_;
};

// One output column of an action.
class ActionColumn {
  public:
    ActionColumn(std::string name, ValueType type, Editor editor = Editor::None);
    ActionColumn(std::string name, int type, Editor editor = Editor::None);

    const std::string& name() const noexcept { return name_; }
    ValueType type() const noexcept { return type_; }
    Editor editor() const noexcept { return editor_; }

  private:
    std::string name_;
    ValueType type_;
    Editor editor_;
};

// Rows produced by a handler. A values result is one row and ends the invocation
// when sent; a stream result may hold many rows and the invocation ends on close().
class ActionResult {
  public:
    struct SuccessType {};
    struct ErrorType {};
    static constexpr SuccessType Success{};
    static constexpr ErrorType Error{};

    virtual ~ActionResult() = default;
    const std::vector<std::vector<Variant>>& rows() const noexcept { return rows_; }
    // True for values results: sending one completes the invocation.
    virtual bool completes_invocation() const noexcept = 0;

  protected:
    std::vector<std::vector<Variant>> rows_;
};

class ActionValuesResult : public ActionResult {
  public:
    ActionValuesResult() = default;
    // Appends one value to the single row.
    ActionValuesResult& add_value(Variant value);
    bool completes_invocation() const noexcept override { return true; }
};

class ActionStreamResult : public ActionResult {
  public:
    ActionStreamResult() = default;
    // Appends one value to the current row (starting a row when none is open).
    ActionStreamResult& add_value(Variant value);
    // Ends the current row; the next add_value starts a new one.
    ActionStreamResult& next_row();
    bool completes_invocation() const noexcept override { return false; }

  private:
    bool row_open_ = false;
};

// Given to a handler. send() delivers rows (a values result also completes the
// invocation); close() completes it. Sends after completion are ignored. If the
// handler returns and the last reference to the stream goes away without either,
// the invocation completes with the rows sent so far (none for Remove-like actions).
class IActionResultStream {
  public:
    virtual ~IActionResultStream() = default;
    virtual void send(const ActionResult& result) = 0;
    virtual void close() = 0;
    virtual bool is_closed() const = 0;
};

// handler(stream, path of the node the action hangs on, parameter map, error code).
using ActionHandler =
    std::function<void(const std::shared_ptr<IActionResultStream>& stream, const NodePath& path,
                       const Variant& params, const std::error_code& ec)>;

enum class ActionResultKind : int {
    Values = 1,  // one row of values
    Table = 2,   // streamed rows
};

class Action {
  public:
    Action(PermissionLevel permission, ActionHandler handler);
    Action(int permission, ActionHandler handler);

    Action& add_param(ActionParameter param);
    Action& add_column(ActionColumn column);
    Action& set_result_kind(ActionResultKind kind);
    Action& set_result_kind(int kind);
    // Actions under one top-level node run one at a time in their order; an action that jumps
    // the queue runs at once beside them (one that ends work there, such as a removal, must
    // not wait behind a stalled one).
    Action& set_jumps_queue(bool jumps = true);

    PermissionLevel permission() const noexcept { return permission_; }
    const ActionHandler& handler() const noexcept { return handler_; }
    const std::vector<ActionParameter>& params() const noexcept { return params_; }
    const std::vector<ActionColumn>& columns() const noexcept { return columns_; }
    ActionResultKind result_kind() const noexcept { return result_kind_; }
    bool jumps_queue() const noexcept { return jumps_queue_; }

  private:
    PermissionLevel permission_;
    ActionHandler handler_;
    std::vector<ActionParameter> params_;
    std::vector<ActionColumn> columns_;
    ActionResultKind result_kind_ = ActionResultKind::Values;
    bool jumps_queue_ = false;
};

}  // namespace kestrel::strata_sdk
