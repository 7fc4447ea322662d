// The process's message module lists.
#include "ErrorHandling/MessageModules.h"

namespace corvane {

bool MessageModuleList::Add(std::unique_ptr<IMessageSource> module)
{
    if (!module || m_count == kSlots) return false;
    m_modules[m_count++] = std::move(module);
    return true;
}

namespace {

// Which modules to load comes from the settings, which this module does not read yet;
// the lists stay empty and every text comes from the system table.
void LoadMessageModules(MessageModuleLists& /*lists*/) {}

}  // namespace

const MessageModuleLists& GetMessageModules()
{
    // Never destroyed: lookups may still run while statics of other files are torn down.
    static const MessageModuleLists* lists = [] {
        auto* loaded = new MessageModuleLists();
        LoadMessageModules(*loaded);
        return loaded;
    }();
    return *lists;
}

}  // namespace corvane
