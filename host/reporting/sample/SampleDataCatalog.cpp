// The sample data's fixed catalog, its name lists and its random source.
#include "host/reporting/sample/SampleDataCatalog.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "common/Helpers/PrimitiveText.h"

namespace cvn::reporting::sample {

namespace {

uint64_t SplitMix(uint64_t& state) noexcept
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t RotateLeft(uint64_t x, int k) noexcept
{
    return (x << k) | (x >> (64 - k));
}

// Picks by a value drawn beforehand: the operands of one expression are evaluated in an unspecified
// order, so every draw happens in a statement of its own and names are composed afterwards.
template <size_t N>
std::string PickFrom(const char* const (&list)[N], uint64_t draw)
{
    return list[draw % N];
}

const char* const kFirstNames[] = {"anna",  "ben",    "carla", "david",  "elena", "felix",  "greta",  "hugo",
                                   "ines",  "jonas",  "karin", "lukas",  "maria", "nils",   "olga",   "paul",
                                   "quinn", "rita",   "sven",  "tanja",  "uwe",   "vera",   "walter", "xenia",
                                   "yusuf", "zoe",    "amir",  "bianca", "chen",  "dmitri", "emma",   "farid",
                                   "gina",  "henrik", "ivy",   "jakob",  "kim",   "lena",   "mateo",  "nora"};
const char* const kLastNames[] = {
    "keller", "schmidt", "novak",  "rossi",      "garcia", "mueller",  "dubois", "jensen",    "kowalski", "silva",
    "weber",  "fischer", "meyer",  "wagner",     "becker", "hoffmann", "schulz", "koch",      "richter",  "klein",
    "wolf",   "neumann", "braun",  "zimmermann", "krause", "hartmann", "lange",  "werner",    "lehmann",  "kaiser",
    "fuchs",  "peters",  "scholz", "moeller",    "jung",   "hahn",     "vogel",  "friedrich", "berg",     "roth"};
const char* const kDepartments[] = {"Finance", "HR", "Engineering", "Sales", "Legal", "Marketing", "IT", "Operations"};
const char* const kRoles[] = {"Readers", "Editors", "Admins", "Approvers", "All", "Contractors"};
const char* const kCities[] = {"Berlin", "Munich", "Hamburg", "Vienna", "Zurich", "Prague", "Warsaw", "Lyon"};
const char* const kPolicies[] = {"Default Domain Policy", "Password Policy", "Workstation Hardening",
                                 "Server Baseline",       "BitLocker",       "Firewall Rules",
                                 "Audit Policy",          "USB Restrictions"};
const char* const kProjects[] = {"Budget", "Roadmap",   "Payroll",  "Contracts",  "Campaign",
                                 "Audit",  "Migration", "Forecast", "Onboarding", "Tender"};
const char* const kDocuments[] = {"report", "minutes", "plan", "invoice", "draft", "summary", "notes", "review"};
const char* const kExtensions[] = {".docx", ".xlsx", ".pdf", ".pptx", ".txt", ".csv"};
const char* const kDatabases[] = {"Sales", "Billing", "Inventory", "Reporting", "Identity"};
const char* const kTables[] = {"Orders",   "Customers", "Invoices", "Products",
                               "Payments", "Shipments", "Users",    "Audit"};
const char* const kApps[] = {"WEB", "APP", "DB", "CACHE", "BUILD", "MAIL", "PROXY", "BI"};
const char* const kVendors[] = {"Acme Supplies", "Globex", "Initech", "Umbrella Logistics", "Stark Consulting"};

std::string Number(uint64_t value, int digits)
{
    char text[32];
    std::snprintf(text, sizeof text, "%0*llu", digits, static_cast<unsigned long long>(value));
    return text;
}

// "CORP\anna.keller" -> "Anna Keller"
std::string DisplayName(const std::string& account)
{
    std::string name = account.substr(account.find('\\') + 1);
    bool upper = true;
    for (char& c : name) {
        if (c == '.') {
            c = ' ';
            upper = true;
        } else if (upper) {
            c = static_cast<char>(c - 'a' + 'A');
            upper = false;
        }
    }
    return name;
}

std::string Login(const std::string& account)
{
    return account.substr(account.find('\\') + 1);
}

Catalog BuildCatalog()
{
    Catalog catalog;
    const auto dataSource = [&](const char* name) {
        SampleDataSource source;
        source.id = GuidFromName(std::string("DataSource:") + name);
        source.idText = GuidToText(source.id);
        source.name = name;
        catalog.dataSources.push_back(source);
        return catalog.dataSources.size() - 1;
    };
    const size_t directory = dataSource("Corp Directory");
    const size_t messaging = dataSource("Messaging");
    const size_t collaboration = dataSource("Collaboration Storage");
    const size_t databases = dataSource("Databases");
    const size_t virtualization = dataSource("Virtual Infrastructure");

    const auto product = [&](const char* id, int32_t system, const char* name, size_t source, double weight,
                             ProductProfile profile) {
        catalog.products.push_back(SampleProduct{id, system, name, source, weight});
        catalog.dataSources[source].productIds.push_back(id);
        catalog.profiles.push_back(std::move(profile));
    };
    product("101", 1, "Active Directory", directory, 0.28,
            {{"dc01.corp.example.com", "dc02.corp.example.com", "dc03.corp.example.com", "dc-berlin.corp.example.com"},
             {{"user", 50}, {"group", 25}, {"computer", 15}, {"organizationalUnit", 5}, {"contact", 5}},
             {{"Modified", 50}, {"Added", 18}, {"Removed", 10}, {"Moved", 6}, {"Renamed", 4}, {"Read", 12}}});
    product("102", 2, "Group Policy", directory, 0.05,
            {{"dc01.corp.example.com", "dc02.corp.example.com"},
             {{"groupPolicyContainer", 80}, {"Group Policy Link", 20}},
             {{"Modified", 70}, {"Added", 15}, {"Removed", 15}}});
    product("103", 3, "Exchange", messaging, 0.14,
            {{"exch01.corp.example.com", "exch02.corp.example.com"},
             {{"Mailbox", 60}, {"Distribution Group", 25}, {"Mailbox Permission", 15}},
             {{"Modified", 50}, {"Added", 20}, {"Removed", 10}, {"Read", 20}}});
    product("201", 4, "Windows File Servers", collaboration, 0.25,
            {{"fs01.corp.example.com", "fs02.corp.example.com", "fs-eng01.corp.example.com", "nas01.corp.example.com"},
             {{"File", 80}, {"Folder", 18}, {"Share", 2}},
             {{"Read", 40}, {"Modified", 30}, {"Added", 15}, {"Removed", 8}, {"Renamed", 4}, {"Moved", 3}}});
    product("202", 5, "SharePoint", collaboration, 0.10,
            {{"sp01.corp.example.com", "sp02.corp.example.com"},
             {{"Document", 60}, {"List Item", 30}, {"Site", 5}, {"Permission", 5}},
             {{"Read", 45}, {"Modified", 30}, {"Added", 15}, {"Removed", 10}}});
    product("301", 6, "SQL Server", databases, 0.12,
            {{"sql01.corp.example.com", "sql02.corp.example.com", "sql-dw01.corp.example.com"},
             {{"Table", 40}, {"Stored Procedure", 20}, {"Login", 15}, {"Database", 10}, {"Role", 15}},
             {{"Modified", 50}, {"Added", 20}, {"Removed", 15}, {"Read", 15}}});
    product("401", 7, "VMware", virtualization, 0.06,
            {{"vc01.corp.example.com"},
             {{"Virtual Machine", 70}, {"Host", 15}, {"Datastore", 15}},
             {{"Modified", 55}, {"Added", 15}, {"Removed", 10}, {"Powered On", 10}, {"Powered Off", 10}}});

    const auto plan = [&](const char* name, std::vector<size_t> products) {
        SamplePlan entry;
        entry.uid = GuidFromName(std::string("Plan:") + name);
        entry.uidText = GuidToText(entry.uid);
        entry.name = name;
        entry.products = std::move(products);
        catalog.plans.push_back(std::move(entry));
    };
    plan("Domain Controllers Audit", {0, 1});
    plan("Group Policy Compliance", {1});
    plan("Exchange Mailbox Changes", {2});
    plan("File Servers - Finance", {3});
    plan("File Servers - Engineering", {3});
    plan("Intranet SharePoint", {4});
    plan("Production SQL", {5});
    plan("Virtual Infrastructure Watch", {6});
    plan("Critical Servers Overview", {0, 2, 5});
    return catalog;
}

}  // namespace

SampleRandom::SampleRandom(uint64_t seed) noexcept
{
    uint64_t state = seed;
    for (uint64_t& word : m_state) word = SplitMix(state);
}

uint64_t SampleRandom::Next() noexcept
{
    const uint64_t result = RotateLeft(m_state[1] * 5, 7) * 9;
    const uint64_t t = m_state[1] << 17;
    m_state[2] ^= m_state[0];
    m_state[3] ^= m_state[1];
    m_state[1] ^= m_state[2];
    m_state[0] ^= m_state[3];
    m_state[2] ^= t;
    m_state[3] = RotateLeft(m_state[3], 45);
    return result;
}

uint64_t SampleRandom::Below(uint64_t bound) noexcept
{
    return static_cast<uint64_t>((static_cast<unsigned __int128>(Next()) * bound) >> 64);
}

double SampleRandom::Unit() noexcept
{
    return static_cast<double>(Next() >> 11) * 0x1.0p-53;
}

WeightedPick::WeightedPick(const std::vector<double>& weights)
{
    double total = 0;
    m_cumulative.reserve(weights.size());
    for (const double weight : weights) m_cumulative.push_back(total += weight);
}

WeightedPick WeightedPick::Zipf(size_t count, double exponent)
{
    std::vector<double> weights(count);
    for (size_t rank = 0; rank < count; ++rank) weights[rank] = 1.0 / std::pow(static_cast<double>(rank + 1), exponent);
    return WeightedPick(weights);
}

size_t WeightedPick::Pick(SampleRandom& random) const noexcept
{
    const double point = random.Unit() * m_cumulative.back();
    const auto found = std::upper_bound(m_cumulative.begin(), m_cumulative.end(), point);
    return std::min(static_cast<size_t>(found - m_cumulative.begin()), m_cumulative.size() - 1);
}

const Catalog& GetCatalog()
{
    static const Catalog catalog = BuildCatalog();
    return catalog;
}

GUID GuidFromName(std::string_view name)
{
    uint64_t halves[2] = {0xCBF29CE484222325ull, 0x84222325CBF29CE4ull};
    for (uint64_t& hash : halves) {
        for (const char c : name) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
        hash ^= hash >> 29;
    }
    GUID guid{};
    guid.Data1 = static_cast<uint32_t>(halves[0] >> 32);
    guid.Data2 = static_cast<uint16_t>(halves[0] >> 16);
    guid.Data3 = static_cast<uint16_t>((halves[0] & 0x0FFF) | 0x4000);
    for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<uint8_t>(halves[1] >> (56 - 8 * i));
    guid.Data4[0] = static_cast<uint8_t>((guid.Data4[0] & 0x3F) | 0x80);
    return guid;
}

std::vector<std::string> MakePeople(size_t count, SampleRandom& random)
{
    std::vector<std::string> people;
    std::set<std::string> taken;
    people.reserve(count);
    for (size_t attempt = 0; people.size() < count; ++attempt) {
        const uint64_t first = random.Next();
        const uint64_t last = random.Next();
        std::string name = "CORP\\" + PickFrom(kFirstNames, first) + "." + PickFrom(kLastNames, last);
        // Past the distinct combinations, numbered names keep every account unique.
        if (attempt >= 4 * count || taken.count(name)) name += Number(people.size(), 3);
        if (taken.insert(name).second) people.push_back(std::move(name));
    }
    return people;
}

std::string MakeObjectPath(size_t product, size_t objectType, const std::vector<std::string>& people,
                           SampleRandom& random)
{
    // Braced initialisers are evaluated in order: the draws are the same on every compiler.
    const uint64_t d[6] = {random.Next(), random.Next(), random.Next(), random.Next(), random.Next(), random.Next()};
    const std::string& person = people[d[0] % people.size()];
    const std::string dept = PickFrom(kDepartments, d[1]);
    const std::string year = Number(2020 + d[2] % 7, 4);
    switch (product * 10 + objectType) {
        case 0:
            return "\\local\\corp\\Users\\" + DisplayName(person);
        case 1:
            return "\\local\\corp\\Groups\\" + dept + " " + PickFrom(kRoles, d[3]);
        case 2:
            return "\\local\\corp\\Computers\\WS-" + Number(d[3] % 10000, 4);
        case 3:
            return "\\local\\corp\\" + PickFrom(kCities, d[3]);
        case 4:
            return "\\local\\corp\\Contacts\\" + PickFrom(kVendors, d[3]);
        case 10:
            return "\\local\\corp\\System\\Policies\\" + PickFrom(kPolicies, d[3]);
        case 11:
            return "\\local\\corp\\" + PickFrom(kCities, d[3]) + "\\" + PickFrom(kPolicies, d[4]);
        case 20:
            return "corp.example.com/Users/" + Login(person);
        case 21:
            return "corp.example.com/Groups/" + dept + "-" + PickFrom(kRoles, d[3]);
        case 22:
            return "corp.example.com/Users/" + Login(person) + "/Permissions";
        case 30:
            return "\\\\fs01\\Shares\\" + dept + "\\" + year + "\\" + PickFrom(kProjects, d[3]) + "\\" +
                   PickFrom(kDocuments, d[4]) + "-" + Number(d[5] % 1000, 3) + PickFrom(kExtensions, d[5] / 1000);
        case 31:
            return "\\\\fs01\\Shares\\" + dept + "\\" + year + "\\" + PickFrom(kProjects, d[3]);
        case 32:
            return "\\\\fs01\\Shares\\" + dept;
        case 40:
            return "https://intranet.corp.example.com/sites/" + dept + "/Shared Documents/" +
                   PickFrom(kDocuments, d[3]) + "-" + Number(d[4] % 1000, 3) + ".docx";
        case 41:
            return "https://intranet.corp.example.com/sites/" + dept + "/Lists/Tasks/" + Number(d[3] % 5000, 1);
        case 42:
            return "https://intranet.corp.example.com/sites/" + dept;
        case 43:
            return "https://intranet.corp.example.com/sites/" + dept + "/_layouts/user.aspx";
        case 50:
            return "SQL01\\" + PickFrom(kDatabases, d[3]) + "\\dbo." + PickFrom(kTables, d[4]);
        case 51:
            return "SQL01\\" + PickFrom(kDatabases, d[3]) + "\\dbo.usp_Update" + PickFrom(kTables, d[4]);
        case 52:
            return "SQL01\\Logins\\" + Login(person);
        case 53:
            return "SQL01\\" + PickFrom(kDatabases, d[3]);
        case 54:
            return "SQL01\\" + PickFrom(kDatabases, d[3]) + "\\Roles\\db_" + PickFrom(kRoles, d[4]);
        case 60:
            return "vc01/Datacenter/vm/" + PickFrom(kApps, d[3]) + "-" + Number(d[4] % 40, 2);
        case 61:
            return "vc01/Datacenter/host/esx" + Number(d[3] % 12, 2);
        case 62:
            return "vc01/Datacenter/datastore/ds-" + Number(d[3] % 20, 2);
        default:
            return "\\objects\\" + Number(d[3] % 100000, 5);
    }
}

}  // namespace cvn::reporting::sample
