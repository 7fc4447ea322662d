// Per-thread buffers for the text of a log line, so that writing a line
// allocates nothing once its thread has written a few. A nested use (a sink
// that logs while it writes) takes the next buffer, or a string of its own when
// all are taken or the thread is exiting and the buffers are gone.
// Thread safety: each thread uses its own buffers.
#pragma once

#include <string>

namespace cvn::log::detail {

inline constexpr int kScratchBuffers = 4;
inline constexpr size_t kScratchKeptCapacity = 64 * 1024;  // a large node dump does not pin its memory

// Trivially destructible, so still readable while the thread's other objects are destroyed.
inline thread_local bool t_scratchGone = false;
inline thread_local int t_scratchUsed = 0;

struct ScratchPool {
    std::string buffers[kScratchBuffers];
    ~ScratchPool() { t_scratchGone = true; }
};
inline thread_local ScratchPool t_scratchPool;

class ScratchText {
public:
    ScratchText() noexcept
    {
        if (!t_scratchGone && t_scratchUsed < kScratchBuffers) {
            m_text = &t_scratchPool.buffers[t_scratchUsed++];
            m_text->clear();
        } else {
            m_text = &m_own;
        }
    }
    ~ScratchText()
    {
        if (m_text == &m_own) return;
        if (m_text->capacity() > kScratchKeptCapacity) std::string().swap(*m_text);
        --t_scratchUsed;
    }
    ScratchText(const ScratchText&) = delete;
    ScratchText& operator=(const ScratchText&) = delete;

    std::string& operator*() noexcept { return *m_text; }

private:
    std::string* m_text;
    std::string m_own;
};

}  // namespace cvn::log::detail
