#include "strata_sdk/action.h"

namespace kestrel::strata_sdk {

ActionParameter::ActionParameter(std::string name, ValueType type, Variant default_value,
                                 Editor editor)
    : name_(std::move(name)), type_(type), default_(std::move(default_value)), editor_(editor) {}

ActionParameter::ActionParameter(std::string name, int type, Variant default_value, Editor editor)
    : ActionParameter(std::move(name), static_cast<ValueType>(type), std::move(default_value),
                      editor) {}

ActionParameter::ActionParameter(std::string name, ValueType type, Editor editor)
    : ActionParameter(std::move(name), type, Variant(), editor) {}

ActionParameter::ActionParameter(std::string name, int type, Editor editor)
    : ActionParameter(std::move(name), static_cast<ValueType>(type), Variant(), editor) {}

ActionParameter& ActionParameter::set_default(Variant value) {
    default_ = std::move(value);
    return *this;
}

ActionParameter& ActionParameter::set_editor(Editor editor) {
    editor_ = editor;
    return *this;
}

ActionParameter& ActionParameter::set_choices(const std::string& comma_separated) {
    choices_.clear();
    size_t start = 0;
    while (start <= comma_separated.size()) {
        size_t comma = comma_separated.find(',', start);
        if (comma == std::string::npos) {
            comma = comma_separated.size();
        }
        choices_.push_back(comma_separated.substr(start, comma - start));
        start = comma + 1;
    }
    return *this;
}

ActionColumn::ActionColumn(std::string name, ValueType type, Editor editor)
    : name_(std::move(name)), type_(type), editor_(editor) {}

ActionColumn::ActionColumn(std::string name, int type, Editor editor)
    : ActionColumn(std::move(name), static_cast<ValueType>(type), editor) {}

ActionValuesResult& ActionValuesResult::add_value(Variant value) {
    if (rows_.empty()) {
        rows_.emplace_back();
    }
    rows_.front().push_back(std::move(value));
    return *this;
}

ActionStreamResult& ActionStreamResult::add_value(Variant value) {
    if (!row_open_) {
        rows_.emplace_back();
        row_open_ = true;
    }
    rows_.back().push_back(std::move(value));
    return *this;
}

ActionStreamResult& ActionStreamResult::next_row() {
    row_open_ = false;
    return *this;
}

Action::Action(PermissionLevel permission, ActionHandler handler)
    : permission_(permission), handler_(std::move(handler)) {}

Action::Action(int permission, ActionHandler handler)
    : Action(static_cast<PermissionLevel>(permission), std::move(handler)) {}

Action& Action::add_param(ActionParameter param) {
    params_.push_back(std::move(param));
    return *this;
}

Action& Action::add_column(ActionColumn column) {
    columns_.push_back(std::move(column));
    return *this;
}

Action& Action::set_result_kind(ActionResultKind kind) {
    result_kind_ = kind;
    return *this;
}

Action& Action::set_jumps_queue(bool jumps) {
    jumps_queue_ = jumps;
    return *this;
}

Action& Action::set_result_kind(int kind) {
    return set_result_kind(static_cast<ActionResultKind>(kind));
}

}  // namespace kestrel::strata_sdk
