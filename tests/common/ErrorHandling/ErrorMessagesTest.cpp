// Message texts: lookup order across the tables, stripping, arguments and the cache.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "common/ErrorHandling/ErrorMessages.h"
#include "common/ErrorHandling/MessageModules.h"

namespace cvn {
namespace {

// A message module that records every id it was asked for.
class FakeModule final : public IMessageSource {
public:
    FakeModule(std::string name, std::map<uint32_t, std::string> texts, std::vector<std::string>& asked)
        : m_name(std::move(name)), m_texts(std::move(texts)), m_asked(asked)
    {
    }
    std::optional<std::string> FindMessage(uint32_t messageId) const override
    {
        m_asked.push_back(m_name + ":" + std::to_string(messageId));
        const auto it = m_texts.find(messageId);
        return it == m_texts.end() ? std::nullopt : std::optional<std::string>(it->second);
    }

private:
    std::string m_name;
    std::map<uint32_t, std::string> m_texts;
    std::vector<std::string>& m_asked;
};

class MessageLookupTest : public testing::Test {
protected:
    MessageLookupTest()
    {
        m_modules.primary.Add(std::make_unique<FakeModule>(
            "primary", std::map<uint32_t, std::string>{{0x80040513u, "Unknown request %s of %d.\r\n"}}, m_asked));
        m_modules.fallback.Add(std::make_unique<FakeModule>(
            "fallback", std::map<uint32_t, std::string>{{0x80040600u, "From fallback"}, {6u, "Handle text"}}, m_asked));
    }

    std::string Lookup(uint32_t code, const std::vector<std::string>* arguments = nullptr)
    {
        return m_lookup.GetErrorMessage(static_cast<HRESULT>(code), arguments);
    }

    std::vector<std::string> m_asked;
    std::map<uint32_t, std::string> m_system{{5u, "Access is denied.\r\n"}, {0x80004003u, "Invalid pointer\r\n"},
                                             {0x80040513u, "System text for a custom code"}};
    MessageModuleLists m_modules;
    MessageCache m_cache;
    MessageLookup m_lookup{m_modules,
                           [this](uint32_t id) -> std::optional<std::string> {
                               m_asked.push_back("system:" + std::to_string(id));
                               const auto it = m_system.find(id);
                               return it == m_system.end() ? std::nullopt : std::optional<std::string>(it->second);
                           },
                           m_cache};
};

TEST_F(MessageLookupTest, SourcesAreAskedInOrderAndTrailingDotsAndBreaksGo)
{
    const std::vector<std::string> arguments{"Foo", "7"};
    const struct {
        uint32_t code;
        bool withArguments;
        const char* text;
        std::vector<std::string> asked;
    } cases[] = {
        // Win32 facility: the code, then its error number; fallback modules after the system each time.
        {0x80070005u, false, "Access is denied", {"system:2147942405", "fallback:2147942405", "system:5"}},
        {0x80070006u, false, "Handle text", {"system:2147942406", "fallback:2147942406", "system:6", "fallback:6"}},
        // The custom range asks the primary modules first, with the caller's arguments.
        {0x80040513u, true, "Unknown request Foo of 7", {"primary:2147747091"}},
        {0x80040600u, true, "From fallback", {"primary:2147747328", "system:2147747328", "fallback:2147747328"}},
        {0x80050000u, false, "<no description>", {"system:2147811328", "fallback:2147811328"}},  // just past it
        {0x12345678u, false, "<no description>", {"system:305419896", "fallback:305419896"}},
        {0x80004003u, false, "Invalid pointer", {"system:2147500035"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        m_asked.clear();
        EXPECT_EQ(Lookup(c.code, c.withArguments ? &arguments : nullptr), c.text);
        EXPECT_EQ(m_asked, c.asked);
    }
    m_system[0x80004010u] = "Ends with . . \r\n\r\n";
    EXPECT_EQ(Lookup(0x80004010u), "Ends with");
}

TEST_F(MessageLookupTest, TextsWithoutArgumentsAreCached)
{
    EXPECT_EQ(Lookup(0x80070005u), "Access is denied");
    m_asked.clear();
    m_system[5u] = "Changed";
    EXPECT_EQ(Lookup(0x80070005u), "Access is denied");
    EXPECT_TRUE(m_asked.empty());

    const std::vector<std::string> arguments{"x"};
    EXPECT_EQ(Lookup(0x80070005u, &arguments), "Changed");  // arguments bypass the cache
    m_cache.SetEnabled(false);
    EXPECT_EQ(Lookup(0x80070005u), "Changed");
}

TEST(FormatMessageArguments, WritesArgumentsAsTextAndNeverReadsMissingOnes)
{
    EXPECT_EQ(FormatMessageArguments("%s and %-5.2ld then %%", {"a", "b"}), "a and b then %");
    EXPECT_EQ(FormatMessageArguments("%s %n %d", {"only"}), "only %n %d");
    EXPECT_EQ(FormatMessageArguments("trailing %", {"x"}), "trailing %");
    EXPECT_EQ(FormatMessageArguments("%5", {"x"}), "%5");
}

TEST(GetErrorMessage, SystemTextsAsTheSystemWordsThem)
{
    // The common codes' texts are checked where they appear in error texts and log lines.
    EXPECT_EQ(GetErrorMessage(E_NOINTERFACE), "No such interface supported");
    EXPECT_EQ(GetErrorMessage(REGDB_E_CLASSNOTREG), "Class not registered");
    EXPECT_EQ(GetErrorMessage(kHrInsufficientBuffer), "The data area passed to a system call is too small");
    EXPECT_EQ(GetErrorMessage(HResultFromWin32(RPC_S_CALL_CANCELLED)), "The remote procedure call was cancelled");
    EXPECT_EQ(GetErrorMessage(E_ABORT), "Operation aborted");
    EXPECT_EQ(GetErrorMessage(E_UNEXPECTED), "Catastrophic failure");
    EXPECT_EQ(GetErrorMessage(HResultFromWin32(ERROR_NO_TOKEN)),
              "An attempt was made to reference a token that does not exist");
    EXPECT_EQ(GetErrorMessage(static_cast<HRESULT>(0xA0071234)), "<no description>");
}

}  // namespace
}  // namespace cvn
