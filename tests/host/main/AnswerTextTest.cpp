// The bounded text of an answer: unchanged within the bounds, lines and the whole cut at them, marked.
#include "host/main/AnswerText.h"

#include <gtest/gtest.h>

#include <sstream>

namespace cvn::hostmain {
namespace {

// The text's longest line, line end not counted.
size_t LongestLine(const std::string& text)
{
    size_t longest = 0, start = 0;
    for (size_t end = text.find("\r\n"); end != std::string::npos; start = end + 2, end = text.find("\r\n", start))
        longest = std::max(longest, end - start);
    return longest;
}

TEST(AnswerText, WithinTheBoundsAsToTextElseCutAtACharacterAndMarked)
{
    const QxNodePtr wide = QxNodePtr::Create("Answer", "RetrieveCountersResponse");
    for (int i = 0; i < 50; ++i) wide.AddChild(QxNodePtr::Create("Row" + std::to_string(i)));
    const QxNodePtr longName = QxNodePtr::Create(std::string(30, 'x') + "\xC3\xA9\xC3\xA9" + std::string(30, 'y'));
    const struct {
        const char* what;
        QxNodePtr node;
        TextBounds bounds;
        std::string marker;  // empty: the whole text, as ToText writes it
    } cases[] = {
        {"within", wide, {}, ""},
        // The line is 16 bytes up to the name, 30 + 2 * 2 + 30 of name, then 3.
        {"line", longName, {.lineBytes = 46}, "x ... truncated: 37 more bytes on this line\r\n"},
        {"line cut inside a character",
         longName,
         {.lineBytes = 47},
         "\xC3\xA9 ... truncated: 35 more bytes on this line\r\n"},
        {"answer", wide, {.totalBytes = 200}, "\n... truncated: the answer is longer than 200 bytes\r\n"},
    };
    for (const auto& c : cases) {
        std::ostringstream out;
        const bool cut = WriteBoundedText(out, c.node, c.bounds);
        const std::string text = out.str();
        EXPECT_EQ(cut, !c.marker.empty()) << c.what;
        if (c.marker.empty()) {
            EXPECT_EQ(text, c.node.ToText()) << c.what;
            continue;
        }
        ASSERT_NE(text.find(c.marker), std::string::npos) << c.what << ":\n" << text;
        EXPECT_LE(text.size(), c.bounds.totalBytes + c.marker.size() + 2) << c.what;
        EXPECT_LE(LongestLine(text.substr(0, text.find(c.marker))), c.bounds.lineBytes + 1) << c.what;
    }
}

}  // namespace
}  // namespace cvn::hostmain
