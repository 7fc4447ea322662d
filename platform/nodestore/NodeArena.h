// The memory of one parse: the parsed nodes, their packed data and their child
// lists, carved in order from a few large blocks instead of three heap
// allocations per node. Every node made here holds a reference (counted all at
// once when the parser lets go); the blocks are freed with the last node,
// whichever tree it has moved to by then. A node that leaves (detached,
// changed, destroyed) keeps its part of the arena until then, as a parse's
// memory is one piece.
// Thread safety: Allocate and NewNode are for the one thread that parses;
// Release may run on any thread, for nodes of trees used by different threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>

#include "platform/nodestore/Node.h"

namespace cvn::nodestore {

class NodeArena {
public:
    /// A new arena holding one reference, the parser's (see ReleaseBuilder).
    static NodeArena* Create();
    NodeArena(const NodeArena&) = delete;
    NodeArena& operator=(const NodeArena&) = delete;

    /// size bytes aligned to 8; throws bad_alloc.
    void* Allocate(size_t size);
    /// Keeps only the first used bytes of the latest Allocate(size), which returned block.
    void Shrink(void* block, size_t size, size_t used) noexcept
    {
        if (static_cast<char*>(block) + ((size + 7) & ~size_t{7}) == m_at)
            m_at = static_cast<char*>(block) + ((used + 7) & ~size_t{7});
    }
    /// A new empty node living here. It holds a reference to the arena from ReleaseBuilder on: no node
    /// made here may be destroyed before that.
    Node* NewNode();
    /// The parser lets go: its reference becomes one per node made (counted once, not per node).
    void ReleaseBuilder() noexcept;
    /// Drops the references of count destroyed nodes; the last frees the arena.
    void Release(uint64_t count) noexcept;

private:
    struct Block {
        Block* next;  // the bytes follow
    };
    static constexpr size_t kFirstBlock = 4 * 1024;
    static constexpr size_t kLargestBlock = 64 * 1024;  // below the size the heap would map afresh

    NodeArena() = default;
    ~NodeArena();
    void* AllocateSlow(size_t size);

    std::atomic<uint64_t> m_references{1};
    uint64_t m_nodesMade = 0;  // by the parser, not yet counted in m_references
    Block* m_blocks = nullptr;
    char* m_at = nullptr;
    char* m_end = nullptr;
    size_t m_nextBlock = kFirstBlock;
};

inline void* NodeArena::Allocate(size_t size)
{
    size = (size + 7) & ~size_t{7};
    if (static_cast<size_t>(m_end - m_at) >= size) {
        void* at = m_at;
        m_at += size;
        return at;
    }
    return AllocateSlow(size);
}

inline Node* NodeArena::NewNode()
{
    Node* node = new (Allocate(sizeof(Node))) Node;
    node->arena = this;
    ++m_nodesMade;
    return node;
}

}  // namespace cvn::nodestore
