// The modification enumerator and its node sequence.
#include "host/services/NodeModifyEnum.h"

namespace cvn::host {

HRESULT CNodeSequence::Prepare(uint32_t) noexcept
{
    m_position = 0;
    return S_OK;
}

HRESULT CNodeSequence::Next(IQxNode** node) noexcept
try {
    if (!node) return E_POINTER;
    *node = nullptr;
    if (m_position >= m_nodes.size()) return S_FALSE;
    *node = QxNodePtr(m_nodes[m_position]).Detach();
    ++m_position;
    return S_OK;
}
CV_CATCH_RETURN()

HRESULT CNodeModifyEnum::GetNodes(IQxNodeSequence** nodes) noexcept
try {
    if (!nodes) return E_POINTER;
    *nodes = CreateComponent<CNodeSequence>(m_nodes).Detach();
    return S_OK;
}
CV_CATCH_RETURN()

}  // namespace cvn::host
