// What the supervisor's page is given: every value from the record as text
// that JSON carries whole (control bytes and bytes that are not UTF-8
// escaped), CSV cells defused.

#include "storage/Store.h"
#include "tests/support/TestEnv.h"
#include "web/PageData.h"

#include <gtest/gtest.h>

using namespace pello;

TEST(PageData, ValuesFromTheRecordAreTextOnly)
{
    storage::CStore store(storage::OpenDatabase(MakeScratchDir("page") + "/record.db"));
    const std::string name = "<script>alert(1)</script>\x01\xff";
    std::string why;
    store.CreateBatch(name, *storage::MakeRange("P1", 3, &why), "ABCDEFGH_123", {"=SUM(A1)", "h", 1, "m", ""});
    storage::ProgrammingRecord row;
    row.time = row.started = storage::UtcNow();
    row.station = "=HYPERLINK(\"x\")";
    row.batch = name;
    row.outcome = "programmed";
    store.AddRecord(row);
    store.ReportStation({"=cmd", name, "waiting", "Ann\r\n", "", "", "", 1, 0, 0, true});

    const std::string overview = web::Overview(store, 30).dump();  // throws on bytes that are not UTF-8
    EXPECT_NE(overview.find("<script>alert(1)</script>\\\\x01\\\\xFF"), std::string::npos) << overview;
    const auto parsed = nlohmann::json::parse(overview);
    EXPECT_TRUE(parsed["stations"][0]["online"].get<bool>());
    EXPECT_EQ(parsed["stations"][0]["operator"], "Ann\\x0D\\x0A");

    const std::string csv = web::RecordsCsv(store, {}, 10);
    EXPECT_NE(csv.find(",\"'=HYPERLINK(\"\"x\"\")\","), std::string::npos) << csv;
    EXPECT_EQ(web::Records(store, web::FilterOf({{"station", "nobody"}}), 10).size(), 0u);
}
