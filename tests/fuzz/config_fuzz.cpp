// The configuration readers on files of any content. The first byte picks the
// reader, the rest is the file:
//   0  the configuration store's file (LoadConfigFile): it loads, or fails with
//      0x8007000D naming the file and the place; what loads saves, loads again
//      and saves to the same bytes;
//   1  the INI reader: for the sections and keys the file names, a value is one
//      line's text, found whatever the letter case of the section and key, and
//      the same from the file with a UTF-8 BOM and as UTF-16LE with a BOM;
//   2  a registry stand-in key file: every line that is not blank or a comment
//      is a value or named as skipped; the values written out again as
//      "name = TYPE:data" read back the same; the data directory's override
//      table made from them holds no more than their string values;
//   3  the host configuration (LoadHostConfig): it loads complete, or throws
//      HostError naming the file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "common/ErrorHandling/ErrorObjects.h"
#include "common/ErrorHandling/HRX.h"
#include "common/Settings/DataDirectory.h"
#include "host/main/HostConfig.h"
#include "host/main/HostError.h"
#include "host/services/ConfigFile.h"
#include "platform/os/DebugOutput.h"
#include "platform/os/Ini.h"
#include "platform/os/RegistryStandIn.h"
#include "platform/os/TextUtil.h"

namespace {

using namespace cvn;

constexpr HRESULT kHrInvalidText = static_cast<HRESULT>(0x8007000D);
constexpr size_t kMaxIniQueries = 16;

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "configuration readers: %s\n", what.c_str());
    std::abort();
}

void Check(bool condition, const std::string& what)
{
    if (!condition) Fail(what);
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, std::string_view bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    Check(file.good(), "cannot write " + path);
}

// One folder for the whole run (in memory where the system offers it), removed at exit.
struct Folder {
    std::string path;
    Folder()
    {
        const std::filesystem::path base = std::filesystem::is_directory("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                                                     : std::filesystem::temp_directory_path();
        std::string pattern = (base / "corvane-fuzz-config-XXXXXX").string();
        Check(mkdtemp(pattern.data()) != nullptr, "cannot make a temporary folder");
        path = pattern;
        std::filesystem::create_directories(path + "/registry/HKEY_LOCAL_MACHINE/Software");
        os::SetRegistryRoot(path + "/registry");
    }
    ~Folder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string File(const std::string& name) const { return path + "/" + name; }
};

Folder* g_folder = nullptr;

void RemoveFolder()
{
    delete g_folder;
    g_folder = nullptr;
}

// --- the configuration store's file

std::string DescriptionOf(const HRX& error) { return ReadErrorDescription(error.ErrorInfo()); }

void StoreFile(std::string_view text)
{
    const std::string path = g_folder->File("store.xml");
    WriteBytes(path, text);
    std::vector<QxNodePtr> nodes;
    try {
        nodes = host::LoadConfigFile(path);
    } catch (const HRX& error) {
        const std::string description = DescriptionOf(error);
        Check(error.Code() == kHrInvalidText, "a load failed with another code than 0x8007000D: " + description);
        Check(description.rfind("configuration file '" + path + "': line ", 0) == 0,
              "a load failed without naming the file and the place: " + description);
        return;
    }
    const std::string saved = g_folder->File("saved.xml");
    const std::string again = g_folder->File("again.xml");
    std::vector<QxNodePtr> reloaded;
    try {
        host::SaveConfigFile(saved, nodes);
        reloaded = host::LoadConfigFile(saved);
        host::SaveConfigFile(again, reloaded);
    } catch (const HRX& error) {
        Fail("what loaded does not save and load again: " + DescriptionOf(error));
    }
    Check(reloaded.size() == nodes.size(), "the number of top-level nodes changed in a save");
    Check(ReadBytes(saved) == ReadBytes(again), "what was saved loads into other nodes (a second save differs)");
}

// --- the INI reader

std::string_view Trimmed(std::string_view text, const char* blanks = " \t\r\n\f\v")
{
    const size_t begin = text.find_first_not_of(blanks);
    if (begin == std::string_view::npos) return {};
    return text.substr(begin, text.find_last_not_of(blanks) - begin + 1);
}

std::string Cased(std::string_view text, bool upper)
{
    std::string out(text);
    for (char& c : out) {
        if (upper && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (!upper && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// UTF-16LE with a BOM of valid UTF-8 text; false for anything else (nothing to compare then).
bool ToUtf16File(std::string_view text, std::string& out)
{
    out = "\xFF\xFE";
    for (size_t i = 0; i < text.size();) {
        const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
        const unsigned char lead = byte(i);
        const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
        if (length == 0 || i + length > text.size()) return false;
        char32_t c = length == 1 ? lead : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) return false;
            c = (c << 6) | (byte(i + k) & 0x3F);
        }
        const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (c < least[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        i += length;
        const auto unit = [&](char32_t u) {
            out += static_cast<char>(u & 0xFF);
            out += static_cast<char>(u >> 8);
        };
        if (c < 0x10000) {
            unit(c);
        } else {
            unit(0xD800 + ((c - 0x10000) >> 10));
            unit(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
    }
    return true;
}

void Ini(std::string_view bytes)
{
    const std::string text = os::DecodeTextFile(std::string(bytes));
    // The sections and keys the file itself names, each key under the section above it.
    std::vector<std::pair<std::string, std::string>> queries = {{"Logger", "MaxSeverity"}};
    std::string section;
    for (size_t pos = 0; pos <= text.size() && queries.size() < kMaxIniQueries;) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        const std::string_view line = Trimmed(std::string_view(text).substr(pos, end - pos));
        pos = end + 1;
        if (line.empty()) continue;
        if (line.front() == '[') {
            section = std::string(Trimmed(line.substr(1, line.find(']') == std::string_view::npos ? 0 : line.find(']') - 1)));
        } else if (const size_t equals = line.find('='); equals != std::string_view::npos) {
            queries.emplace_back(section, Trimmed(line.substr(0, equals)));
        }
    }

    const std::string utf8Bom = g_folder->File("bom.ini");
    WriteBytes(utf8Bom, "\xEF\xBB\xBF" + text);
    const std::string utf16 = g_folder->File("utf16.ini");
    std::string wide;
    const bool hasWide = ToUtf16File(text, wide);
    if (hasWide) WriteBytes(utf16, wide);

    for (const auto& [sectionName, key] : queries) {
        const std::string value = os::FindIniValue(text, sectionName, key);
        const std::string what = "[" + sectionName + "] " + key + " = '" + value + "'";
        Check(value.find('\n') == std::string::npos && text.find(value) != std::string::npos,
              what + ": a value that is not one line's text");
        Check(os::FindIniValue(text, Cased(sectionName, true), Cased(key, false)) == value,
              what + ": another value when the section and key are written in other letter case");
        Check(os::ReadIniValue(utf8Bom, sectionName, key) == value, what + ": another value from the file with a UTF-8 BOM");
        if (hasWide) Check(os::ReadIniValue(utf16, sectionName, key) == value, what + ": another value from the file as UTF-16LE");
    }
}

// --- the registry stand-in

const char* TypeName(uint32_t type)
{
    switch (type) {
    case os::REG_SZ: return "REG_SZ";
    case os::REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case os::REG_DWORD: return "REG_DWORD";
    default: return nullptr;
    }
}

size_t g_skipped = 0;

std::vector<os::RegistryValue> ReadKey(std::string_view file)
{
    WriteBytes(g_folder->File("registry/HKEY_LOCAL_MACHINE/Software/Fuzz.reg"), file);
    std::vector<os::RegistryValue> values;
    g_skipped = 0;
    const uint32_t error = os::ReadRegistryKey(os::RegistryHive::LocalMachine, "Software\\Fuzz", values);
    Check(error == 0, "a key file that exists does not read: error " + std::to_string(error));
    return values;
}

void Registry(std::string_view bytes)
{
    const std::vector<os::RegistryValue> values = ReadKey(bytes);
    const size_t skipped = g_skipped;

    size_t lines = 0;
    const std::string text = os::DecodeTextFile(std::string(bytes));
    for (size_t pos = 0; pos <= text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        // Blanks, tabs and line ends only: a line of other white space is not blank to the registry reader.
        const std::string_view line = Trimmed(std::string_view(text).substr(pos, end - pos), " \t\r\n");
        pos = end + 1;
        if (!line.empty() && line.front() != '#' && line.front() != ';') ++lines;
    }

    std::string rewritten = "# written again\n";
    size_t strings = 0;
    for (const os::RegistryValue& value : values) {
        const char* type = TypeName(value.type);
        Check(type != nullptr, "a value of type " + std::to_string(value.type));
        Check(!value.name.empty() && value.name.find('\n') == std::string::npos && value.data.find('\n') == std::string::npos,
              "a value named '" + value.name + "' that is not of one line");
        if (value.type == os::REG_DWORD)
            Check(!value.data.empty() && value.data.find_first_not_of("0123456789") == std::string::npos &&
                      std::to_string(std::stoull(value.data)) == value.data && std::stoull(value.data) <= 0xFFFFFFFFull,
                  "REG_DWORD '" + value.name + "' holds '" + value.data + "'");
        else
            ++strings;
        rewritten += value.name + " = " + type + ":" + value.data + "\n";
    }
    Check(values.size() + skipped == lines, std::to_string(lines) + " lines, " + std::to_string(values.size()) +
                                                " values and " + std::to_string(skipped) + " lines named as skipped");

    const std::vector<os::RegistryValue> again = ReadKey(rewritten);
    Check(g_skipped == 0 && again.size() == values.size(), "the values written again do not all read back");
    for (size_t i = 0; i < values.size(); ++i)
        Check(again[i].name == values[i].name && again[i].type == values[i].type && again[i].data == values[i].data,
              "value '" + values[i].name + "' reads back as '" + again[i].name + "' = '" + again[i].data + "'");

    const auto overrides = DataDirectory::ReadOverrides("HKLM\\Software\\Fuzz");
    Check(overrides.size() <= strings, "more overrides than string values");
}

// --- the host configuration

void HostConfiguration(std::string_view text)
{
    const std::string path = g_folder->File("host.cfg.xml");
    WriteBytes(path, text);
    hostmain::HostConfig config;
    try {
        config = hostmain::LoadHostConfig(path);
    } catch (const hostmain::HostError& error) {
        Check(std::string_view(error.what()).find(path) != std::string_view::npos,
              std::string("a refusal that does not name the file: ") + error.what());
        return;
    }
    Check(!config.components.empty() && config.queriesProcessor && !config.storageKind.empty(),
          "a configuration loaded without components, queries processor or storage kind");
    for (const hostmain::ComponentEntry& component : config.components)
        Check(!component.instanceName.empty() && component.configuration, "a component without a name or a configuration");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_folder = new Folder;
    std::atexit(RemoveFolder);
    // The registry reader names each line it skips on the debug output: counted, not printed.
    os::SetDebugOutputCapture([](const std::string& line) {
        if (line.find("skipping malformed line") != std::string::npos) ++g_skipped;
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const std::string_view file(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 4) {
    case 0: StoreFile(file); break;
    case 1: Ini(file); break;
    case 2: Registry(file); break;
    default: HostConfiguration(file); break;
    }
    return 0;
}
