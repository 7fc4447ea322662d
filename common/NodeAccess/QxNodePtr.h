// QxNodePtr: the owning handle of one node of the node library, and the typed
// reads and writes every other piece of the module uses. Strings are UTF-8
// here and converted only at the library boundary.
// Thread safety: a QxNodePtr is used by one thread at a time; copies may go to
// other threads (a copy duplicates the handle). The node rules of Nodestore.h apply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/Nodestore.h"

namespace cvn {

class QxNodePtr {
public:
    struct Attach {};  ///< tag: take a handle over without duplicating it

    QxNodePtr() noexcept = default;
    QxNodePtr(std::nullptr_t) noexcept {}
    /// Duplicates a non-null handle (throws HRX when the library refuses).
    explicit QxNodePtr(IQxNode* handle);
    QxNodePtr(IQxNode* handle, Attach) noexcept : m_node(handle) {}
    QxNodePtr(const QxNodePtr& other);
    QxNodePtr(QxNodePtr&& other) noexcept : m_node(other.m_node) { other.m_node = nullptr; }
    QxNodePtr& operator=(const QxNodePtr& other);
    QxNodePtr& operator=(QxNodePtr&& other) noexcept;
    ~QxNodePtr() { Reset(); }

    /// Closes the handle; returns the slot so the pointer can serve as an out-parameter.
    IQxNode** Reset() noexcept;
    IQxNode* Get() const noexcept { return m_node; }
    /// Gives the handle away without closing it.
    IQxNode* Detach() noexcept;
    explicit operator bool() const noexcept { return m_node != nullptr; }

    /// A new standalone node; an empty name or type stays unset.
    static QxNodePtr Create(std::string_view name = {}, std::string_view type = {});
    /// Parses the text form; exactly one top-level node, else HRX 0x8007000D with the parser's message.
    static QxNodePtr Parse(std::string_view text);
    static std::vector<QxNodePtr> ParseAll(std::string_view text);

    QxNodePtr Clone(int32_t depth = QXN_DEPTH_ALL) const;
    std::string GetName() const;
    std::string GetPath() const;
    void SetName(uint32_t kind, std::string_view name) const;
    void SetName(std::string_view name) const { SetName(QXN_NAME_OWN, name); }
    std::string GetType() const;
    void SetType(std::string_view type) const;

    uint64_t GetChildCount() const;
    /// mustExist false: a missing child gives null; other failures throw.
    QxNodePtr GetChild(uint64_t index, bool mustExist = true) const;
    QxNodePtr GetChild(std::string_view name, bool mustExist = true) const;
    std::vector<QxNodePtr> GetChildren() const;
    /// Null at the root.
    QxNodePtr GetParent() const;
    void AddChild(const QxNodePtr& child) const;
    void RemoveChild(const QxNodePtr& child) const;

    /// True when present; storedType receives the stored type code.
    bool HasAttribute(std::string_view name, uint32_t* storedType = nullptr) const;
    /// Each returns false when absent and throws on other failures (a value that cannot be converted).
    bool GetAttribute(std::string_view name, std::string& out) const;
    bool GetAttribute(std::string_view name, int32_t& out) const;
    bool GetAttribute(std::string_view name, uint32_t& out) const;
    bool GetAttribute(std::string_view name, int64_t& out) const;
    bool GetAttribute(std::string_view name, uint64_t& out) const;
    bool GetAttribute(std::string_view name, bool& out) const;
    bool GetAttribute(std::string_view name, GUID& out) const;
    bool GetAttribute(std::string_view name, std::vector<std::string>& out) const;
    bool GetAttribute(std::string_view name, std::vector<GUID>& out) const;
    bool GetAttribute(std::string_view name, std::vector<int32_t>& out) const;

    /// Throws HRX 0x80070490 when absent.
    template <class T>
    T GetRequiredAttribute(std::string_view name) const
    {
        T value{};
        if (!GetAttribute(name, value)) ThrowMissingAttribute(name);
        return value;
    }
    /// The value when present with a stored value, else the default.
    template <class T>
    T GetAttributeOr(std::string_view name, T defaultValue) const
    {
        uint32_t stored = 0;
        if (!HasAttribute(name, &stored) || stored == 0) return defaultValue;
        T value{};
        return GetAttribute(name, value) ? value : defaultValue;
    }
    std::string GetAttributeOr(std::string_view name, const char* defaultValue) const
    {
        return GetAttributeOr<std::string>(name, std::string(defaultValue));
    }

    void SetAttribute(std::string_view name, std::string_view value) const;
    void SetAttribute(std::string_view name, const char* value) const { SetAttribute(name, std::string_view(value)); }
    void SetAttribute(std::string_view name, const std::string& value) const { SetAttribute(name, std::string_view(value)); }
    void SetAttribute(std::string_view name, int32_t value) const;  ///< type 3
    void SetAttribute(std::string_view name, uint32_t value) const; ///< type 3
    void SetAttribute(std::string_view name, int64_t value) const;
    void SetAttribute(std::string_view name, uint64_t value) const;
    void SetAttribute(std::string_view name, bool value) const;
    void SetAttribute(std::string_view name, const GUID& value) const;
    void SetAttribute(std::string_view name, const std::vector<GUID>& value) const;
    void SetAttribute(std::string_view name, const std::vector<std::string>& value) const;
    void SetAttribute(std::string_view name, const std::vector<int32_t>& value) const;
    /// Writes raw bytes with an explicit type code (e.g. type 4 integers).
    void SetAttributeRaw(std::string_view name, uint16_t type, const void* value, uint32_t size) const;
    /// Absence is ignored unless mustExist.
    void DeleteAttribute(std::string_view name, bool mustExist = false) const;
    std::vector<std::string> GetAttributeNames() const;

    static constexpr uint32_t kFindNoUpward = 1;   ///< refuse paths that need steps upwards
    static constexpr uint32_t kFindMustExist = 2;  ///< throw 0x80070490 instead of returning null
    /// Backslash path lookup: relative from this node, absolute ("\a\b") through the common prefix.
    QxNodePtr FindByPath(std::string_view path, uint32_t flags = 0) const;

    /// The node text form (UTF-8, wrapped in <nr>); depth as for Clone.
    std::string ToText(int32_t depth = QXN_DEPTH_ALL, uint32_t flags = QXN_SERIALIZE_INDENT | QXN_SERIALIZE_UTF8) const;

    [[noreturn]] static void ThrowMissingAttribute(std::string_view name);

private:
    IQxNode* m_node = nullptr;
};

/// The node that asks a configuration service for a subtree: type "FilterByPath" with
/// "NodePath", "IsParent" and "MaxDepth".
QxNodePtr MakePathFilterNode(std::string_view path, int64_t maxDepth = QXN_DEPTH_ALL, bool isParent = false);

/// UTF-8 <-> UTF-16 at the library boundary; invalid input is replaced by U+FFFD.
std::u16string ToUtf16(std::string_view text);
std::string ToUtf8(std::u16string_view text);

}  // namespace cvn
