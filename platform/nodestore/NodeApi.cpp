// The node functions of the C API: creation, copies, handles, names, types and children.
#include <algorithm>

#include "corvane/Nodestore.h"
#include "platform/nodestore/ApiGuard.h"
#include "platform/nodestore/Node.h"
#include "platform/nodestore/Utf.h"

using namespace cvn;
using namespace cvn::nodestore;

extern "C" {

CV_EXPORT HRESULT QxnCreateNode(const char16_t* name, const char16_t* type, IQxNode** node)
{
    if (!node) return E_POINTER;
    *node = nullptr;
    return Guarded([&] {
        TreePtr created(new Node);
        created->data.SetNameAndType(View16(name), View16(type));
        *node = ReleaseAsHandle(std::move(created));
        return S_OK;
    });
}

CV_EXPORT HRESULT QxnCloneNode(IQxNode* node, int32_t depth, uint32_t flags, IQxNode** clone)
{
    if (!clone) return E_POINTER;
    *clone = nullptr;
    if (!node) return E_POINTER;
    if (depth < 0 || flags != 0) return E_INVALIDARG;
    return Guarded([&] {
        *clone = ReleaseAsHandle(CloneTree(*node, depth));
        return S_OK;
    });
}

CV_EXPORT HRESULT QxnDuplicateNodeHandle(IQxNode* node, IQxNode** duplicate)
{
    if (!duplicate) return E_POINTER;
    *duplicate = node ? OpenHandle(node) : nullptr;
    return node ? S_OK : E_POINTER;
}

CV_EXPORT HRESULT QxnCloseNodeHandle(IQxNode* node)
{
    if (!node) return E_POINTER;
    CloseHandle(node);
    return S_OK;
}

CV_EXPORT HRESULT QxnGetNodeName(IQxNode* node, uint32_t nameKind, char16_t* buffer, uint32_t* size)
{
    if (!node || !size) return E_POINTER;
    if (nameKind == QXN_NAME_OWN) return CopyOut<char16_t>(node->data.Name(), true, buffer, size);
    if (nameKind != QXN_NAME_PATH) return E_INVALIDARG;
    return Guarded([&] { return CopyOut<char16_t>(PathOf(*node), true, buffer, size); });
}

CV_EXPORT HRESULT QxnSetNodeName(IQxNode* node, uint32_t nameKind, const char16_t* name)
{
    if (!node) return E_POINTER;
    return Guarded([&] {
        if (nameKind == QXN_NAME_OWN) {
            node->data.SetName(View16(name));
            return S_OK;
        }
        if (nameKind != QXN_NAME_PATH) return E_INVALIDARG;
        return PlaceAtPath(node, View16(name));
    });
}

CV_EXPORT HRESULT QxnGetNodeType(IQxNode* node, char16_t* buffer, uint32_t* size)
{
    if (!node || !size) return E_POINTER;
    return CopyOut<char16_t>(node->data.Type(), true, buffer, size);
}

CV_EXPORT HRESULT QxnSetNodeType(IQxNode* node, const char16_t* type)
{
    if (!node) return E_POINTER;
    return Guarded([&] {
        node->data.SetType(View16(type));
        return S_OK;
    });
}

CV_EXPORT HRESULT QxnGetChildCount(IQxNode* node, uint64_t* count)
{
    if (!node || !count) return E_POINTER;
    *count = node->children.size();
    return S_OK;
}

CV_EXPORT HRESULT QxnGetChildByIndex(IQxNode* node, uint64_t index, IQxNode** child)
{
    if (!child) return E_POINTER;
    *child = nullptr;
    if (!node) return E_POINTER;
    if (index >= node->children.size()) return kHrNotFound;
    *child = OpenHandle(node->children[index]);
    return S_OK;
}

CV_EXPORT HRESULT QxnGetChildByName(IQxNode* node, const char16_t* name, IQxNode** child)
{
    if (!child) return E_POINTER;
    *child = nullptr;
    if (!node || !name) return E_POINTER;
    const std::u16string_view wanted = View16(name);
    for (Node* candidate : node->children) {
        if (candidate->data.Name() == wanted) {
            *child = OpenHandle(candidate);
            return S_OK;
        }
    }
    return kHrNotFound;
}

CV_EXPORT HRESULT QxnGetParent(IQxNode* node, IQxNode** parent)
{
    if (!parent) return E_POINTER;
    *parent = nullptr;
    if (!node) return E_POINTER;
    if (node->parent) *parent = OpenHandle(node->parent);
    return S_OK;
}

CV_EXPORT HRESULT QxnAddChild(IQxNode* parent, IQxNode* child)
{
    if (!parent || !child) return E_POINTER;
    if (IsSelfOrAncestor(child, parent)) return E_INVALIDARG;
    return Guarded([&] {
        AppendChild(parent, child);
        return S_OK;
    });
}

CV_EXPORT HRESULT QxnRemoveChild(IQxNode* parent, IQxNode* child)
{
    if (!parent || !child) return E_POINTER;
    if (child->parent != parent) return kHrNotFound;
    return Guarded([&] {
        DetachChild(child);
        return S_OK;
    });
}

}  // extern "C"
