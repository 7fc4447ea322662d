// The fixed part of the sample data: products with their data sources, plans,
// servers, object types, actions and path shapes; and the deterministic random
// source the generator draws from (the same numbers on every platform, unlike
// the standard library's distributions).
// Thread safety: the catalog is built once under static initialisation and
// read only afterwards; a SampleRandom belongs to one thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/reporting/sample/SampleDataGenerator.h"

namespace cvn::reporting::sample {

/// xoshiro256** seeded through splitmix64.
class SampleRandom {
public:
    explicit SampleRandom(uint64_t seed) noexcept;
    uint64_t Next() noexcept;
    /// Uniform in [0, bound); bound > 0.
    uint64_t Below(uint64_t bound) noexcept;
    /// Uniform in [0, 1).
    double Unit() noexcept;

private:
    uint64_t m_state[4];
};

/// Draws indices with given weights (cumulative table, binary search).
class WeightedPick {
public:
    WeightedPick() = default;
    explicit WeightedPick(const std::vector<double>& weights);
    /// Zipf-like weights 1 / (rank + 1)^exponent for count ranks.
    static WeightedPick Zipf(size_t count, double exponent);
    size_t Pick(SampleRandom& random) const noexcept;
    size_t Size() const noexcept { return m_cumulative.size(); }

private:
    std::vector<double> m_cumulative;
};

struct Weighted {
    std::string name;
    double weight;
};

/// What one product's records look like.
struct ProductProfile {
    std::vector<std::string> servers;   ///< "Where", most active first
    std::vector<Weighted> objectTypes;  ///< "ObjectType"
    std::vector<Weighted> actions;      ///< "What_Action"
};

struct Catalog {
    std::vector<SampleProduct> products;
    std::vector<SampleDataSource> dataSources;
    std::vector<SamplePlan> plans;
    std::vector<ProductProfile> profiles;  ///< by product index
};

const Catalog& GetCatalog();

/// A GUID derived from a name (FNV-1a), version-4 and variant bits set: stable for every seed.
GUID GuidFromName(std::string_view name);

/// The path ("What") of an object of the product's objectType-th type; draws from random.
std::string MakeObjectPath(size_t product, size_t objectType, const std::vector<std::string>& people,
                           SampleRandom& random);

/// People's account names "CORP\first.last", distinct, count of them, drawn from random.
std::vector<std::string> MakePeople(size_t count, SampleRandom& random);

}  // namespace cvn::reporting::sample
