// The API's live cookies and their limits.
#include "host/api/CookieTable.h"

namespace cvn::api {

CookieTable::CookieTable(Limits limits, Now now) : m_limits(limits), m_now(std::move(now)) {}

bool CookieTable::Reserve(const std::string& client, std::string& limitName)
{
    std::lock_guard lock(m_lock);
    if (m_total >= m_limits.total) {
        limitName = "MaxCookies";
        return false;
    }
    size_t& mine = m_perClient[client];
    if (mine >= m_limits.perClient) {
        limitName = "MaxCookiesPerClient";
        if (mine == 0) m_perClient.erase(client);
        return false;
    }
    ++mine;
    ++m_total;
    return true;
}

void CookieTable::Unreserve(const std::string& client)
{
    std::lock_guard lock(m_lock);
    const auto found = m_perClient.find(client);
    if (found == m_perClient.end()) return;
    if (--found->second == 0) m_perClient.erase(found);
    --m_total;
}

void CookieTable::Add(const std::string& key, Entry entry)
{
    std::lock_guard lock(m_lock);
    entry.created = entry.lastUse = m_now();
    entry.busy = 0;
    const auto [where, added] = m_entries.insert_or_assign(key, std::move(entry));
    if (!added) {  // the module never repeats a token; keep the counts right if it did
        const auto found = m_perClient.find(where->second.client);
        if (found != m_perClient.end() && --found->second == 0) m_perClient.erase(found);
        --m_total;
    }
}

std::optional<CookieTable::Entry> CookieTable::Acquire(const std::string& key)
{
    std::lock_guard lock(m_lock);
    const auto found = m_entries.find(key);
    if (found == m_entries.end()) return std::nullopt;
    found->second.lastUse = m_now();
    ++found->second.busy;
    return found->second;
}

void CookieTable::Release(const std::string& key, bool gone)
{
    std::lock_guard lock(m_lock);
    const auto found = m_entries.find(key);
    if (found == m_entries.end()) return;
    found->second.lastUse = m_now();
    --found->second.busy;
    if (gone) EraseLocked(found);
}

std::optional<CookieTable::Entry> CookieTable::Remove(const std::string& key)
{
    std::lock_guard lock(m_lock);
    const auto found = m_entries.find(key);
    if (found == m_entries.end()) return std::nullopt;
    Entry entry = found->second;
    EraseLocked(found);
    return entry;
}

std::vector<CookieTable::Entry> CookieTable::TakeIdle()
{
    std::lock_guard lock(m_lock);
    const Clock::time_point now = m_now();
    std::vector<Entry> idle;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        const auto next = std::next(it);
        if (it->second.busy == 0 && now - it->second.lastUse >= m_limits.idle) {
            idle.push_back(it->second);
            EraseLocked(it);
        }
        it = next;
    }
    return idle;
}

std::vector<CookieTable::Entry> CookieTable::TakeAll()
{
    std::lock_guard lock(m_lock);
    std::vector<Entry> all;
    for (auto& [key, entry] : m_entries) all.push_back(std::move(entry));
    m_entries.clear();
    m_perClient.clear();
    m_total = 0;
    return all;
}

size_t CookieTable::Live() const
{
    std::lock_guard lock(m_lock);
    return m_entries.size();
}

void CookieTable::EraseLocked(std::map<std::string, Entry>::iterator found)
{
    const auto client = m_perClient.find(found->second.client);
    if (client != m_perClient.end() && --client->second == 0) m_perClient.erase(client);
    --m_total;
    m_entries.erase(found);
}

}  // namespace cvn::api
