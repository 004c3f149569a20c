// The one text rule: random bytes always come out as valid UTF-8 with nothing
// that drives a terminal or a page, valid text comes out as it went in, and
// names are refused for what the rule would have to escape.

#include "text/Json.h"
#include "text/Text.h"

#include <gtest/gtest.h>

#include <random>

using namespace pello;

namespace {

// UTF-8 of a code point, written here rather than taken from the rule.
std::string Encode(char32_t c)
{
    if (c < 0x80) return std::string(1, static_cast<char>(c));
    if (c < 0x800) return {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
    if (c < 0x10000) {
        return {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                static_cast<char>(0x80 | (c & 0x3F))};
    }
    return {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
            static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
}

// What must never leave raw: C0, DEL, C1, the bidi controls, the separators.
std::vector<std::string> Forbidden()
{
    std::vector<std::string> out;
    for (char32_t c = 0; c < 0x20; ++c) out.push_back(Encode(c));
    for (char32_t c = 0x7F; c <= 0x9F; ++c) out.push_back(Encode(c));
    for (const char32_t c : {0x061C, 0x200E, 0x200F, 0x2028, 0x2029, 0x202A, 0x202B, 0x202C, 0x202D, 0x202E, 0x2066,
                             0x2067, 0x2068, 0x2069}) {
        out.push_back(Encode(c));
    }
    return out;
}

// nlohmann-json's own check: dump() throws on anything that is not UTF-8.
bool ValidUtf8(const std::string& s)
{
    try {
        (void)nlohmann::json(s).dump();
        return true;
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

// Random bytes, biased towards the interesting: ASCII, controls, lead and
// continuation bytes, whole characters, forbidden ones, backslashes.
std::string RandomBytes(std::mt19937& rng, const std::vector<std::string>& forbidden)
{
    std::string s;
    const size_t pieces = rng() % 12;
    for (size_t i = 0; i < pieces; ++i) {
        switch (rng() % 6) {
        case 0: s += static_cast<char>(0x20 + rng() % 0x5F); break;
        case 1: s += static_cast<char>(rng() % 0x20); break;
        case 2: s += static_cast<char>(0x80 + rng() % 0x80); break;
        case 3: s += Encode(static_cast<char32_t>(rng() % 0x110000)); break; // surrogates included
        case 4: s += forbidden[rng() % forbidden.size()]; break;
        default: s += "\\x"; break;
        }
    }
    return s;
}

} // namespace

TEST(TextRule, RandomBytesLeaveAsValidTextAndValidTextLeavesUnchanged)
{
    const std::vector<std::string> forbidden = Forbidden();
    const unsigned seed = 20260412;
    std::mt19937 rng(seed);
    int unchanged = 0;
    for (int run = 0; run < 20000; ++run) {
        const std::string in = RandomBytes(rng, forbidden);
        const std::string out = text::Show(in);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", run " + std::to_string(run));
        ASSERT_TRUE(ValidUtf8(out)) << out;
        for (const std::string& f : forbidden) ASSERT_EQ(out.find(f), std::string::npos) << out;
        ASSERT_EQ(text::Show(out), out) << "showing twice changes it";
        bool clean = ValidUtf8(in);
        for (const std::string& f : forbidden) clean = clean && in.find(f) == std::string::npos;
        ASSERT_EQ(clean, out == in) << out;
        ASSERT_EQ(clean, text::IsPlain(in));
        ASSERT_EQ(clean, text::NameProblem(in).empty());
        unchanged += clean;
    }
    EXPECT_GT(unchanged, 1000) << "the campaign must try valid text too";
}

TEST(TextRule, EachKindOfBadTextIsShownByItsBytesOrItsCodePoint)
{
    const std::pair<std::string, std::string> cases[] = {
        {"Zo\xC3\xAB \xE6\x97\xA5 \xF0\x9D\x84\x9E C:\\x", "Zo\xC3\xAB \xE6\x97\xA5 \xF0\x9D\x84\x9E C:\\x"},
        {"a\xC0\xAF", "a\\xC0\\xAF"},                          // overlong /
        {"\xE0\x80\xAF", "\\xE0\\x80\\xAF"},                    // overlong, three bytes
        {"\xED\xA0\x80", "\\xED\\xA0\\x80"},                    // a surrogate
        {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},           // above U+10FFFF
        {"\xE2\x82", "\\xE2\\x82"},                             // cut short
        {"\xE2\x82" "A", "\\xE2\\x82A"},                        // cut, then text
        {"B\x1B[2J\r\n\t", "B\\x1B[2J\\x0D\\x0A\\x09"},         // C0
        {std::string("\0", 1) + "\x7F", "\\x00\\x7F"},
        {"\xC2\x85\xC2\x9B", "\\u0085\\u009B"},                 // C1
        {"evil\xE2\x80\xAEtxt.exe", "evil\\u202Etxt.exe"},      // a bidi override
        {"\xE2\x81\xA6x\xE2\x80\xA8", "\\u2066x\\u2028"},       // an isolate, a line separator
    };
    for (const auto& [in, shown] : cases) EXPECT_EQ(text::Show(in), shown);
    EXPECT_NE(text::NameProblem("\xFF" "abc").find("not valid UTF-8 (\\xFF at byte 1)"), std::string::npos);
    EXPECT_NE(text::NameProblem("ana\x1B[2J").find("control character (\\x1B at byte 4)"), std::string::npos);
    // JSON and CSV: every string and key shown; formulas defused, no line breaks.
    const nlohmann::json shown = text::Shown({{"k\xFF", {"\xC0\xAF", 1, {{"x", "\xE2\x80\xAE"}}}}});
    EXPECT_EQ(shown.dump(), R"({"k\\xFF":["\\xC0\\xAF",1,{"x":"\\u202E"}]})");
    EXPECT_EQ(text::CsvLine({"=SUM(A1)", "a,b\n", "say \"hi\"", "-1", "\xFF"}),
              "'=SUM(A1),\"a,b\\x0A\",\"say \"\"hi\"\"\",'-1,\\xFF");
}
