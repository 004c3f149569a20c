// Labels carry values, never commands; a template is looked at before it is
// read. (A printer that resets mid-label: tests/cli/StationTest.cpp.)

#include "label/Label.h"
#include "tests/support/TestEnv.h"
#include "tests/support/ZplReader.h"
#include "text/Text.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

using namespace pello;

namespace {

// Values a hostile or careless name could hold: ZPL's prefixes, its hex
// indicators, whole commands, controls, bytes that are not UTF-8.
std::string RandomValue(std::mt19937& rng)
{
    static const std::vector<std::string> pieces = {"^", "~", "_", "\\", "^XZ^XA", "^FS", "~JA", "{batch}", "5E", "A",
                                                    "\x1B", "\r\n", "\xFF", "\xC3\xA9", "\xE2\x80\xAE", ",", " "};
    std::string s;
    for (size_t n = rng() % 8; n > 0; --n) s += pieces[rng() % pieces.size()];
    return s;
}

// `text` with each placeholder as the label shows its value, in one pass.
std::string Expected(const std::string& text, const label::LabelValues& v)
{
    const std::pair<std::string, std::string> fields[] = {{"{serial}", v.serial}, {"{field}", v.field},
                                                          {"{batch}", v.batch},   {"{operator}", v.operatorName},
                                                          {"{station}", v.station}};
    std::string out;
    for (size_t i = 0; i < text.size();) {
        bool filled = false;
        for (const auto& [name, value] : fields) {
            if (text.compare(i, name.size(), name) != 0) continue;
            out += text::Show(value);
            i += name.size();
            filled = true;
            break;
        }
        if (!filled) out += text[i++];
    }
    return out;
}

} // namespace

TEST(Labels, ValuesNeverAddOrEndAZplCommand)
{
    // Fields with and without ^FH, a field with its own indicator, the
    // template's own underscores, a barcode.
    const std::string zpl = "^XA^CI28\n^FO10,10^A0N,30,30^FDLot_{batch} by {operator}^FS\n"
                            "^FO10,50^FH\\^FD{serial} \\5Cok at {station}^FS^FO10,90^BCN,60^fd{field}^FS^XZ";
    const ZplLabel form = ReadZplLabel(zpl);
    const unsigned seed = 7261;
    std::mt19937 rng(seed);
    for (int run = 0; run < 3000; ++run) {
        label::LabelValues v {RandomValue(rng), RandomValue(rng), "", RandomValue(rng), "", RandomValue(rng),
                              RandomValue(rng)};
        const label::FilledLabel filled = label::FillLabel(zpl, v);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", run " + std::to_string(run) + ": " + text::Show(filled.bytes));
        ASSERT_EQ(filled.problem, "");
        const ZplLabel read = ReadZplLabel(filled.bytes);
        ASSERT_EQ(read.commands, form.commands);
        ASSERT_FALSE(read.badEscape);
        ASSERT_EQ(read.fields.size(), form.fields.size());
        for (size_t i = 0; i < form.fields.size(); ++i) ASSERT_EQ(read.fields[i], Expected(form.fields[i], v));
    }
    // Outside a field's data ZPL has no escape: ^ or ~ there is refused.
    const std::string comment = "^XA^FX made by {operator}^FO1,1^FD{serial}^FS^XZ";
    EXPECT_EQ(label::FillLabel(comment, {"S1", "", "", "", "", "", "ann"}).problem, "");
    EXPECT_NE(label::FillLabel(comment, {"S1", "", "", "", "", "", "a^XZ"}).problem.find("outside a field's data"),
              std::string::npos);
    // A fragment without ^XA is ZPL all the same.
    const label::FilledLabel fragment = label::FillLabel("^FO1,1^FD{batch}^FS", {"", "", "", "^XZ~JA", "", "", ""});
    EXPECT_EQ(fragment.bytes, "^FO1,1^FH^FD_5EXZ_7EJA^FS");
    // Any other template: the values as the text rule shows them, no control byte.
    EXPECT_EQ(label::FillLabel("SN {serial} {operator}\n", {"S1", "", "", "", "", "", "a\x1B[2J\xFF"}).bytes,
              "SN S1 a\\x1B[2J\\xFF\n");
}

TEST(Labels, TemplatesAndPrintersAreCheckedBeforeAnythingIsRead)
{
    const std::string dir = MakeScratchDir("label");
    const std::string printer = "tcp://127.0.0.1:9100";
    std::ofstream(dir + "/ok.zpl") << "^XA^FD{serial}^FS^XZ";
    std::ofstream(dir + "/empty.zpl").flush();
    std::ofstream(dir + "/prefix.zpl") << "^XA^CC+^FD{serial}^FS^XZ";
    ASSERT_EQ(::mkfifo((dir + "/fifo").c_str(), 0600), 0);
    std::ofstream(dir + "/big.zpl").flush();
    ASSERT_EQ(::truncate((dir + "/big.zpl").c_str(), 2 << 20), 0);
    const std::pair<std::string, std::string> templates[] = {
        {dir + "/ok.zpl", ""},
        {"/dev/zero", "is not a regular file"},
        {dir + "/fifo", "is not a regular file"},
        {dir, "is not a regular file"},
        {dir + "/empty.zpl", "is empty"},
        {dir + "/big.zpl", "is larger than 1 MiB"},
        {dir + "/missing.zpl", "cannot read the label template"},
        {dir + "/prefix.zpl", "changes ZPL's command characters"},
    };
    for (const auto& [path, why] : templates) {
        const std::string problem = label::CLabelPrinter(path, printer).Problem();
        EXPECT_EQ(problem.empty(), why.empty()) << path << ": " << problem;
        EXPECT_NE(problem.find(why), std::string::npos) << path << ": " << problem;
    }
    for (const std::string bad : {"tcp://h:0", "tcp://h:65536", "tcp://h:99999", "tcp://h:1234567", "tcp://h:",
                                   "tcp://:9100", "tcp://h:-1", "lp0"}) {
        EXPECT_NE(label::CheckPrinter(bad), "") << bad;
    }
    for (const std::string good : {"tcp://h:1", "tcp://h:65535", "tcp://[::1]:9100", "cups:zebra", "/dev/usb/lp0"}) {
        EXPECT_EQ(label::CheckPrinter(good), "") << good;
    }
}
