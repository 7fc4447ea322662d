// The cookies the API has handed out and not yet seen complete, stopped,
// freed or expired: who holds each, what request it continues, when it was
// last polled. It enforces the limits of live cookies per client and in all,
// and finds the ones nobody polls any more.
// Thread safety: every method may be called from any thread.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "corvane/Platform.h"

namespace cvn::api {

class CookieTable {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    struct Limits {
        size_t total = 1024;
        size_t perClient = 256;
        std::chrono::seconds idle{120};  ///< a cookie not polled for this long is handed to TakeIdle
    };
    struct Entry {
        GUID token{};         ///< as the module gave it
        std::string client;   ///< the address that made it
        std::string type;     ///< the request type its polls are sent as
        std::string name;     ///< the request's name, which its polls carry
        Clock::time_point created;
        Clock::time_point lastUse;
        int busy = 0;         ///< calls using it now; such a cookie is never idle
    };

    explicit CookieTable(Limits limits, Now now = [] { return Clock::now(); });

    /// Holds a place for a new cookie of the client; false (nothing held) when the client or all clients
    /// are at their limit, with which one in limitName.
    bool Reserve(const std::string& client, std::string& limitName);
    /// Gives a held place back (the module made no cookie).
    void Unreserve(const std::string& client);
    /// Turns a held place into the entry (key: the token in lower case without braces).
    void Add(const std::string& key, Entry entry);
    /// The entry, marked used now and busy; nullopt when unknown. Pair with Release.
    std::optional<Entry> Acquire(const std::string& key);
    /// Ends a use from Acquire; gone removes the entry (complete, stopped or unknown to the module).
    void Release(const std::string& key, bool gone);
    /// Removes the entry and returns it; nullopt when unknown.
    std::optional<Entry> Remove(const std::string& key);
    /// Removes and returns the entries not used for the idle limit and not busy.
    std::vector<Entry> TakeIdle();
    /// Removes and returns every entry.
    std::vector<Entry> TakeAll();
    size_t Live() const;

private:
    void EraseLocked(std::map<std::string, Entry>::iterator found);

    const Limits m_limits;
    const Now m_now;
    mutable std::mutex m_lock;
    std::map<std::string, Entry> m_entries;          // guarded by m_lock
    std::map<std::string, size_t> m_perClient;       // guarded by m_lock: entries and held places
    size_t m_total = 0;                              // guarded by m_lock: entries and held places
};

}  // namespace cvn::api
