// The logical columns of the counters, their bits in a column mask, and the mask type; the module and the
// host's metrics aggregator name columns alike through it.
// Thread safety: constants and pure functions only.
#pragma once

#include <cstdint>
#include <string_view>

namespace OverviewReportsProcessing {

namespace ColumnHelper {
inline constexpr std::string_view ManagedObjectUId = "ManagedObjectUId";
inline constexpr std::string_view ProductId = "ProductId";
inline constexpr std::string_view DataSource = "DataSource";
inline constexpr std::string_view Who = "Who";
inline constexpr std::string_view Where = "Where";
inline constexpr std::string_view ObjectType = "ObjectType";
inline constexpr std::string_view What_Action = "What_Action";
inline constexpr std::string_view What = "What";
}  // namespace ColumnHelper

enum class EColumnsMasks : uint32_t {
    None = 0,
    ManagedObjectUId = 0x1,
    ProductId = 0x2,
    Who = 0x4,
    Where = 0x8,
    ObjectType = 0x10,
    What_Action = 0x20,
    What = 0x40,
    Unknown = 0x800,  ///< any name outside the seven groupable columns; no group contains it
};

/// A 32-bit set over the values of an enumeration of bits; empty is 0.
template <class E>
class CEnumBitmask {
public:
    constexpr CEnumBitmask() noexcept = default;
    constexpr CEnumBitmask(E bit) noexcept : m_value(static_cast<uint32_t>(bit)) {}
    static constexpr CEnumBitmask FromValue(uint32_t value) noexcept
    {
        CEnumBitmask mask;
        mask.m_value = value;
        return mask;
    }

    constexpr uint32_t Value() const noexcept { return m_value; }
    constexpr bool Any() const noexcept { return m_value != 0; }
    constexpr explicit operator bool() const noexcept { return Any(); }

    constexpr CEnumBitmask& Set(CEnumBitmask bits) noexcept
    {
        m_value |= bits.m_value;
        return *this;
    }
    constexpr CEnumBitmask& operator|=(CEnumBitmask bits) noexcept { return Set(bits); }
    friend constexpr CEnumBitmask operator|(CEnumBitmask a, CEnumBitmask b) noexcept { return a.Set(b); }

    /// all: every bit of other is in this set (true for an empty other); otherwise: the sets share a bit.
    constexpr bool Has(CEnumBitmask other, bool all = true) const noexcept
    {
        const uint32_t common = m_value & other.m_value;
        return all ? common == other.m_value : common != 0;
    }

    friend constexpr bool operator==(CEnumBitmask a, CEnumBitmask b) noexcept { return a.m_value == b.m_value; }
    /// Ordered by value read as a signed 32-bit number.
    friend constexpr bool operator<(CEnumBitmask a, CEnumBitmask b) noexcept
    {
        return static_cast<int32_t>(a.m_value) < static_cast<int32_t>(b.m_value);
    }

private:
    uint32_t m_value = 0;
};

using ColumnsMask = CEnumBitmask<EColumnsMasks>;

namespace ColumnHelper {

/// The bit of a column; EColumnsMasks::Unknown (0x800) for any other name, "DataSource" included.
ColumnsMask GetColumnMask(std::string_view column) noexcept;

/// Calls back (name, bit) for the seven groupable columns in ascending bit order.
template <class Callback>
void ForEachColumn(Callback&& callback)
{
    callback(ManagedObjectUId, ColumnsMask(EColumnsMasks::ManagedObjectUId));
    callback(ProductId, ColumnsMask(EColumnsMasks::ProductId));
    callback(Who, ColumnsMask(EColumnsMasks::Who));
    callback(Where, ColumnsMask(EColumnsMasks::Where));
    callback(ObjectType, ColumnsMask(EColumnsMasks::ObjectType));
    callback(What_Action, ColumnsMask(EColumnsMasks::What_Action));
    callback(What, ColumnsMask(EColumnsMasks::What));
}

}  // namespace ColumnHelper

}  // namespace OverviewReportsProcessing
