#pragma once
// Node paths and the escaping of node names.

#include <string>
#include <vector>

namespace kestrel::strata_sdk {

// Percent-encodes (upper-case "%2F") the characters a node name cannot hold:
// / % \ ? * : | < > " , every control character (below 0x20 and 0x7F), and '.' or
// '$' at the start of the name. The result never contains '/'.
std::string string_escape(const std::string& name);
// Reverses string_escape: every "%XY" with two hexadecimal digits becomes that byte;
// anything else is kept as it is. string_unescape(string_escape(s)) == s for every s.
std::string string_unescape(const std::string& name);

// An absolute path "/a/b/c" of escaped names. Empty components are dropped, so
// "", "/" and "//" are all the root.
class NodePath {
  public:
    using const_iterator = std::vector<std::string>::const_iterator;

    NodePath();  // the root
    NodePath(const std::string& path);
    NodePath(const char* path);

    // Appends one name, or several when `name` holds '/' ("EM Tags/Read Tags List").
    NodePath operator/(const std::string& name) const;
    NodePath operator/(const char* name) const { return *this / std::string(name); }
    NodePath operator/(const NodePath& relative) const;

    // Last component; "" for the root.
    std::string get_name() const;
    // Path without the last component; the root's parent is the root.
    NodePath get_parent_path() const;
    // First component (the top-level node the path lies under); "" for the root.
    std::string get_base() const;
    std::string to_string() const;

    bool is_root() const noexcept { return parts_.empty(); }
    size_t size() const noexcept { return parts_.size(); }
    const std::vector<std::string>& components() const noexcept { return parts_; }
    const_iterator begin() const noexcept { return parts_.begin(); }
    const_iterator end() const noexcept { return parts_.end(); }
    // True when this path is `ancestor` or lies below it.
    bool is_within(const NodePath& ancestor) const noexcept;

    bool operator==(const NodePath& o) const noexcept { return parts_ == o.parts_; }
    bool operator!=(const NodePath& o) const noexcept { return parts_ != o.parts_; }
    bool operator<(const NodePath& o) const noexcept { return parts_ < o.parts_; }

  private:
    void append(const std::string& text);
    std::vector<std::string> parts_;
};

}  // namespace kestrel::strata_sdk
