// The campaign page: its embedded data, and hostile text kept out of markup.
#include "html.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TryRecord attempt(int64_t start_ms, int64_t runtime_ms, TryOutcome outcome, int32_t code = 0) {
    TryRecord t;
    t.start_epoch_ms = start_ms;
    t.runtime_ms = runtime_ms;
    t.outcome = outcome;
    t.code = code;
    return t;
}

CopyRecord copy_of(int32_t number, std::string output = "") {
    CopyRecord copy;
    copy.copy = number;
    copy.first = number * 5;
    copy.share = 5;
    copy.command =
        "prog 02C4E67%05d " + std::to_string(copy.first) + " 5 " + std::to_string(number);
    copy.output = std::move(output);
    return copy;
}

std::string embedded_json(const std::string& page) {
    const std::string open = "<script type=\"application/json\" id=\"campaign\">";
    size_t begin = page.find(open);
    if (begin == std::string::npos) return "";
    begin += open.size();
    return page.substr(begin, page.find("</script>", begin) - begin);
}

TEST(CampaignPage, EmbedsTheRecordOnceAsCompactJson) {
    CampaignRecord campaign;
    campaign.jobs = 1;
    campaign.copies = {copy_of(0, "logs/0.log"), copy_of(1, "logs/1.log"), copy_of(2)};
    campaign.copies[0].tries = {attempt(1000, 500, TryOutcome::kExited)};
    // Starts a moment before the first is seen to end: still the one slot.
    campaign.copies[1].tries = {attempt(1499, 100, TryOutcome::kExited, 2),
                                attempt(1700, 200, TryOutcome::kExited)};
    campaign.copies[1].host = ":";
    campaign.copies[2].tries = {attempt(0, 0, TryOutcome::kNotTried)};
    const std::string page = campaign_page(campaign);
    EXPECT_EQ(embedded_json(page),
              "{\"format\":1,\"jobs\":1,\"lanes\":1,\"begin_ms\":1000,\"wall_ms\":900,"
              "\"stop_reason\":\"\",\n"
              "\"counts\":{\"copies\":3,\"passed\":2,\"failed\":0,\"flaky\":1,\"stopped\":0,"
              "\"never\":1,\"running\":0,\"tries\":3},\n"
              "\"outcomes\":[\"running\",\"exited\",\"signaled\",\"start failed\",\"timed out\","
              "\"stopped\",\"never tried\"],\n"
              "\"patterns\":[\"prog 02C4E67%05d {first} {share} {copy}\",\"logs/{copy}.log\","
              "\":\"],\n"
              "\"words\":[\"exited with status 0\",\"exited with status 2\",\"was never tried\"],\n"
              "\"flaky\":{\"columns\":[\"copy\",\"passed_on\"],\"rows\":[[1,2]]},\n"
              "\"failed\":{\"columns\":[\"copy\",\"words\"],\"rows\":[]},\n"
              "\"copies\":{\"columns\":[\"copy\",\"first\",\"share\",\"command\",\"output\","
              "\"host\"],\"rows\":[[0,0,5,0,1,\"\"],[1,5,5,0,1,2],[2,10,5,0,\"\",\"\"]]},\n"
              "\"tries\":{\"columns\":[\"copy\",\"start\",\"runtime\",\"outcome\",\"code\","
              "\"lane\",\"words\"],\"rows\":[[0,0,500,1,0,0,0],[1,499,100,1,2,0,1],"
              "[1,700,200,1,0,0,0],[2,0,0,6,0,-1,2]]}}");
    EXPECT_EQ(page.find("id=\"campaign\">", page.find("id=\"campaign\">") + 1), std::string::npos);

    // Without a limit, overlapping tries get a lane each, and a freed lane is
    // taken again; a failed copy is listed in the report's words.
    campaign.jobs = 0;
    campaign.copies[1].tries.pop_back();
    campaign.copies[2].tries = {attempt(1600, 50, TryOutcome::kExited)};
    const std::string json = embedded_json(campaign_page(campaign));
    EXPECT_NE(json.find("\"lanes\":2,"), std::string::npos) << json;
    EXPECT_NE(json.find("[1,499,100,1,2,1,1],[2,600,50,1,0,0,0]]"), std::string::npos) << json;
    EXPECT_NE(json.find("[1,\"copy 1 exited with status 2 (output in logs/1.log)\"]"),
              std::string::npos)
        << json;
}

TEST(CampaignPage, HostileTextStaysInsideItsJsonString) {
    CampaignRecord campaign;
    CopyRecord copy = copy_of(0);
    copy.command = "x </script><script>alert(1)</script> <!-- \"q\" \\ &amp; \x01";
    copy.output = std::string("out/\xff\xe2\x80\xa8<b>.log");
    copy.tries = {attempt(5, 1, TryOutcome::kExited, 1)};
    campaign.copies = {copy};
    campaign.stop_reason = "</SCRIPT>";
    const std::string page = campaign_page(campaign);
    const std::string json = embedded_json(page);
    // Nothing in the data can open or close markup, and it is valid UTF-8.
    EXPECT_EQ(json.find_first_of("<>&"), std::string::npos) << json;
    EXPECT_EQ(json.find('\xff'), std::string::npos);
    EXPECT_NE(
        json.find("\"x \\u003c/script\\u003e\\u003cscript\\u003ealert(1)\\u003c/script\\u003e "
                  "\\u003c!-- \\\"q\\\" \\\\ \\u0026amp; \\u0001\""),
        std::string::npos)
        << json;
    EXPECT_NE(json.find("\"out/\\ufffd\\u2028\\u003cb\\u003e.log\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"stop_reason\":\"\\u003c/SCRIPT\\u003e\""), std::string::npos);
}

}  // namespace
