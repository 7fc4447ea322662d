// QxNodePtr: handle ownership, names, types and children.
#include "common/NodeAccess/QxNodePtr.h"

#include <utility>

#include "common/ErrorHandling/HRX.h"
#include "common/NodeAccess/StringRead.h"

namespace cvn {

QxNodePtr::QxNodePtr(IQxNode* handle)
{
    if (handle) ThrowIfFailed(QxnDuplicateNodeHandle(handle, &m_node));
}

QxNodePtr::QxNodePtr(const QxNodePtr& other) : QxNodePtr(other.m_node) {}

QxNodePtr& QxNodePtr::operator=(const QxNodePtr& other)
{
    if (m_node != other.m_node) {
        QxNodePtr copy(other);
        std::swap(m_node, copy.m_node);
    }
    return *this;
}

QxNodePtr& QxNodePtr::operator=(QxNodePtr&& other) noexcept
{
    if (this != &other) {
        Reset();
        m_node = std::exchange(other.m_node, nullptr);
    }
    return *this;
}

IQxNode** QxNodePtr::Reset() noexcept
{
    if (m_node) QxnCloseNodeHandle(std::exchange(m_node, nullptr));
    return &m_node;
}

IQxNode* QxNodePtr::Detach() noexcept
{
    return std::exchange(m_node, nullptr);
}

QxNodePtr QxNodePtr::Create(std::string_view name, std::string_view type)
{
    const std::u16string name16 = ToUtf16(name);
    const std::u16string type16 = ToUtf16(type);
    QxNodePtr node;
    ThrowIfFailed(QxnCreateNode(name.empty() ? nullptr : name16.c_str(), type.empty() ? nullptr : type16.c_str(),
                          node.Reset()));
    return node;
}

QxNodePtr QxNodePtr::Clone(int32_t depth) const
{
    QxNodePtr clone;
    ThrowIfFailed(QxnCloneNode(ThrowIfNull(m_node), depth, 0, clone.Reset()));
    return clone;
}

namespace {

std::string ReadName(IQxNode* node, uint32_t kind)
{
    std::u16string name;
    ThrowIfFailed(detail::ReadUnits<char16_t>(
        [&](char16_t* buffer, uint32_t* size) { return QxnGetNodeName(node, kind, buffer, size); }, name));
    return ToUtf8(name);
}

}  // namespace

std::string QxNodePtr::GetName() const
{
    return ReadName(ThrowIfNull(m_node), QXN_NAME_OWN);
}

std::string QxNodePtr::GetPath() const
{
    return ReadName(ThrowIfNull(m_node), QXN_NAME_PATH);
}

void QxNodePtr::SetName(uint32_t kind, std::string_view name) const
{
    ThrowIfFailed(QxnSetNodeName(ThrowIfNull(m_node), kind, ToUtf16(name).c_str()));
}

std::string QxNodePtr::GetType() const
{
    IQxNode* node = ThrowIfNull(m_node);
    std::u16string type;
    ThrowIfFailed(detail::ReadUnits<char16_t>(
        [&](char16_t* buffer, uint32_t* size) { return QxnGetNodeType(node, buffer, size); }, type));
    return ToUtf8(type);
}

void QxNodePtr::SetType(std::string_view type) const
{
    ThrowIfFailed(QxnSetNodeType(ThrowIfNull(m_node), ToUtf16(type).c_str()));
}

uint64_t QxNodePtr::GetChildCount() const
{
    uint64_t count = 0;
    ThrowIfFailed(QxnGetChildCount(ThrowIfNull(m_node), &count));
    return count;
}

QxNodePtr QxNodePtr::GetChild(uint64_t index, bool mustExist) const
{
    QxNodePtr child;
    const HRESULT hr = QxnGetChildByIndex(ThrowIfNull(m_node), index, child.Reset());
    if (hr == kHrNotFound && !mustExist) return nullptr;
    ThrowIfFailed(hr);
    return child;
}

QxNodePtr QxNodePtr::GetChild(std::string_view name, bool mustExist) const
{
    QxNodePtr child;
    const HRESULT hr = QxnGetChildByName(ThrowIfNull(m_node), ToUtf16(name).c_str(), child.Reset());
    if (hr == kHrNotFound && !mustExist) return nullptr;
    if (hr == kHrNotFound) ThrowHrWithDescription(hr, "Element not found: child '" + std::string(name) + "'");
    ThrowIfFailed(hr);
    return child;
}

std::vector<QxNodePtr> QxNodePtr::GetChildren() const
{
    std::vector<QxNodePtr> children;
    const uint64_t count = GetChildCount();
    children.reserve(count);
    for (uint64_t i = 0; i < count; ++i) children.push_back(GetChild(i));
    return children;
}

QxNodePtr QxNodePtr::GetParent() const
{
    QxNodePtr parent;
    ThrowIfFailed(QxnGetParent(ThrowIfNull(m_node), parent.Reset()));
    return parent;
}

void QxNodePtr::AddChild(const QxNodePtr& child) const
{
    ThrowIfFailed(QxnAddChild(ThrowIfNull(m_node), ThrowIfNull(child.m_node)));
}

void QxNodePtr::RemoveChild(const QxNodePtr& child) const
{
    ThrowIfFailed(QxnRemoveChild(ThrowIfNull(m_node), ThrowIfNull(child.m_node)));
}

}  // namespace cvn
