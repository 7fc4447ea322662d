// A parse's memory (see NodeArena.h).
#include "platform/nodestore/NodeArena.h"

#include <algorithm>
#include <new>

namespace cvn::nodestore {

static_assert(sizeof(Node) % 8 == 0 && alignof(Node) <= 8, "nodes are carved at 8-byte steps");

NodeArena* NodeArena::Create()
{
    return new NodeArena;
}

NodeArena::~NodeArena()
{
    for (Block* block = m_blocks; block;) {
        Block* next = block->next;
        ::operator delete(block);
        block = next;
    }
}

void* NodeArena::AllocateSlow(size_t size)
{
    if (size > kLargestBlock / 4) {  // a block of its own, behind the current one, which stays in use
        auto* block = static_cast<Block*>(::operator new(sizeof(Block) + size));
        if (m_blocks) {
            block->next = m_blocks->next;
            m_blocks->next = block;
        } else {
            block->next = nullptr;
            m_blocks = block;
        }
        return block + 1;
    }
    const size_t blockSize = std::max(m_nextBlock, size);
    auto* block = static_cast<Block*>(::operator new(sizeof(Block) + blockSize));
    block->next = m_blocks;
    m_blocks = block;
    if (m_nextBlock < kLargestBlock) m_nextBlock *= 2;
    m_at = reinterpret_cast<char*>(block + 1) + size;
    m_end = reinterpret_cast<char*>(block + 1) + blockSize;
    return block + 1;
}

void NodeArena::ReleaseBuilder() noexcept
{
    const uint64_t nodes = m_nodesMade;
    m_nodesMade = 0;
    if (nodes) m_references.fetch_add(nodes, std::memory_order_relaxed);
    Release(1);
}

void NodeArena::Release(uint64_t count) noexcept
{
    if (m_references.fetch_sub(count, std::memory_order_acq_rel) == count) delete this;
}

}  // namespace cvn::nodestore
