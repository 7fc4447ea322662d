// Resolution by instance name and configuration store access.
#include "common/ServiceLayer/NamedServices.h"

#include <string>

#include "corvane/NamedInstances.h"

namespace cvn {

namespace {

std::string_view SourceName(ConfigSource source)
{
    return source == ConfigSource::ConfigServer ? kConfigServerProxyName : kAppConfigStorageName;
}

void CheckPath(std::string_view path, const char* function)
{
    if (path.empty()) ThrowHrWithDescription(E_INVALIDARG, std::string(function) + ": the configuration path is empty");
}

}  // namespace

HRESULT QueryNamedInstance(std::string_view name, const GUID& iid, void** out) noexcept
{
    if (!out) return E_POINTER;
    *out = nullptr;
    try {
        const std::u16string wide = ToUtf16(name);
        return SkGetNamedInstance(wide.c_str(), 0, &iid, out);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

QxNodePtr ReadConfigNode(IConfigStorage& storage, std::string_view path, bool mustExist)
{
    CheckPath(path, "cvn::ReadConfigNode");
    const QxNodePtr filter = MakePathFilterNode(path, QXN_DEPTH_ALL, false);
    IQxNode* found = nullptr;
    uint64_t returned = 0;
    ThrowIfFailed(storage.ReadNodes(filter.Get(), 0, &found, 1, &returned));
    QxNodePtr node(found, QxNodePtr::Attach{});
    if (returned == 0) node.Reset();
    if (!node) {
        if (mustExist)
            ThrowHrWithDescription(kHrNotFound, "Configuration node " + std::string(path) + " does not exist");
        return nullptr;
    }
    return node;
}

QxNodePtr ReadConfigNode(ConfigSource source, std::string_view path, bool mustExist)
{
    return ReadConfigNode(*GetNamedInstance<IConfigStorage>(SourceName(source)), path, mustExist);
}

void WriteConfigNode(IConfigStorage& storage, std::string_view path, const QxNodePtr& node)
{
    CheckPath(path, "cvn::WriteConfigNode");
    if (!node) ThrowHrWithDescription(E_INVALIDARG, "cvn::WriteConfigNode: no node to write at " + std::string(path));
    // The store places a node by the full path it carries; a standalone copy takes the path as its name.
    const QxNodePtr copy = node.Clone();
    copy.SetName(QXN_NAME_PATH, path);
    IQxNode* nodes[] = {copy.Get()};
    ThrowIfFailed(storage.WriteNodes(nullptr, 0, nodes, 1));
}

void WriteConfigNode(ConfigSource source, std::string_view path, const QxNodePtr& node)
{
    WriteConfigNode(*GetNamedInstance<IConfigStorage>(SourceName(source)), path, node);
}

}  // namespace cvn
