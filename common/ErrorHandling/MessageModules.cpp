// The process's message module lists and their loading from message table files.
#include "common/ErrorHandling/MessageModules.h"

#include "common/ErrorHandling/ErrorMessages.h"
#include "common/ErrorHandling/ErrorRecord.h"
#include "common/ErrorHandling/MessageTable.h"
#include "common/Helpers/PrimitiveText.h"
#include "common/Logging/Log.h"
#include "common/Settings/ModuleFile.h"
#include "common/Settings/SettingsStore.h"
#include "platform/os/SystemMessages.h"

namespace cvn {

bool MessageModuleList::Add(std::unique_ptr<IMessageSource> module)
{
    if (!module || m_count == kSlots) return false;
    m_modules[m_count++] = std::move(module);
    return true;
}

namespace {

std::vector<std::string> SplitNames(const std::string& value)
{
    std::vector<std::string> names;
    size_t pos = 0;
    while (pos <= value.size()) {
        size_t end = value.find_first_of(",|;", pos);
        if (end == std::string::npos) end = value.size();
        const std::string name = TrimSetting(std::string_view(value).substr(pos, end - pos));
        if (!name.empty()) names.push_back(name);
        pos = end + 1;
    }
    return names;
}

// The error text of a loading failure. The process's lookup is being built while modules load,
// so the description comes from a lookup of its own over what is loaded so far.
std::string LoadErrorText(HRESULT code, const MessageModuleLists& lists)
{
    MessageCache cache;
    cache.SetEnabled(false);
    const MessageLookup lookup(lists, &os::FindSystemMessage, cache);
    return FormatErrorText(ErrorRecord{code, lookup.GetErrorMessage(code, nullptr), {}});
}

void LoadList(MessageModuleList& list, const std::string& names, const std::string& directory,
              const MessageModuleLists& lists)
{
    for (const std::string& name : SplitNames(names)) {
        const std::string path = directory.empty() || name.find_first_of("\\/") != std::string::npos
                                     ? name
                                     : directory + name;
        std::unique_ptr<MessageTable> table;
        const uint32_t error = MessageTable::Load(path, table);
        if (error != 0) {
            CV_LOG(Err, "Loading errormsg module '" << name << "' failed: "
                                                    << LoadErrorText(HResultFromWin32(error), lists));
            continue;
        }
        if (list.Size() == MessageModuleList::kSlots) {
            CV_LOG(Err, "Loading errormsg module '" << name << "' failed: " << "No more slots");
            continue;
        }
        list.Add(std::move(table));
    }
}

}  // namespace

void LoadMessageModules(MessageModuleLists& lists, const std::string& primaryNames,
                        const std::string& fallbackNames, const std::string& moduleDirectory) noexcept
{
    try {
        LoadList(lists.primary, primaryNames, moduleDirectory, lists);
        LoadList(lists.fallback, fallbackNames, {}, lists);
    } catch (...) {
        CV_LOG(Err, "Loading error message module(s)" << " failed: " << HrToText(E_OUTOFMEMORY));
    }
}

const MessageModuleLists& GetMessageModules()
{
    // Never destroyed: lookups may still run while statics of other files are torn down.
    static const MessageModuleLists* lists = [] {
        auto* loaded = new MessageModuleLists();
        LoadMessageModules(*loaded, GetSetting("ErrorHandling", "MessageFile", "Faultbook.dll"),
                           GetSetting("ErrorHandling", "FallbackMessageFile", ""), ModuleDirectory());
        return loaded;
    }();
    return *lists;
}

}  // namespace cvn
