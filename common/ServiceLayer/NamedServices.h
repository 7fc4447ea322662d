// Resolution of the host's services and the module's own components by
// instance name, and the configuration store read and write helpers.
// Thread safety: every function may be called from any thread at once.
#pragma once

#include <string_view>

#include "common/ErrorHandling/HRX.h"
#include "common/NodeAccess/QxNodePtr.h"
#include "corvane/ComPtr.h"
#include "corvane/ServiceInterfaces.h"

namespace cvn {

inline constexpr std::string_view kAppConfigStorageName = "Base.AppConfigStorage";
inline constexpr std::string_view kConfigServerProxyName = "ConfigServer.Proxy";
inline constexpr std::string_view kServiceClientName = "Core.ServiceClient";
inline constexpr std::string_view kRequestContextMgrName = "Core.RequestContextMgr";

/// The framework's answer for name and iid: S_OK with *out set, or the failing code with *out null.
HRESULT QueryNamedInstance(std::string_view name, const GUID& iid, void** out) noexcept;

/// Resolves name to I; throws HRX with the framework's code (0x80070490 for an unknown name,
/// E_INVALIDARG for an empty one).
template <class I>
ComPtr<I> GetNamedInstance(std::string_view name)
{
    ComPtr<I> result;
    ThrowIfFailed(QueryNamedInstance(name, I::kIid, result.PutVoid()));
    return result;
}

/// As GetNamedInstance, but null when the name is not registered; other failures throw HRX.
template <class I>
ComPtr<I> FindNamedInstance(std::string_view name)
{
    ComPtr<I> result;
    const HRESULT hr = QueryNamedInstance(name, I::kIid, result.PutVoid());
    if (hr == kHrNotFound) return nullptr;
    ThrowIfFailed(hr);
    return result;
}

/// Which configuration service a read or write goes to.
enum class ConfigSource { AppConfigStorage, ConfigServer };

/// The node at a backslash path with its whole subtree. Nothing stored there: HRX 0x80070490 when
/// mustExist, else null. An empty path is E_INVALIDARG; service failures throw HRX.
QxNodePtr ReadConfigNode(IConfigStorage& storage, std::string_view path, bool mustExist);
QxNodePtr ReadConfigNode(ConfigSource source, std::string_view path, bool mustExist);

/// Stores a copy of node (subtree included) at the backslash path, replacing what was there; the copy
/// takes the path's last component as its name. Empty path or null node: E_INVALIDARG.
void WriteConfigNode(IConfigStorage& storage, std::string_view path, const QxNodePtr& node);
void WriteConfigNode(ConfigSource source, std::string_view path, const QxNodePtr& node);

}  // namespace cvn
