// Writes the page of a small made-up campaign, and its job log, for the
// browser test: a pass, a failure, a time-out, a flaky copy, a copy killed by
// a signal whose command and output file are hostile markup, and two copies
// never tried.
#include <cstdio>
#include <string>

#include "html.h"
#include "record.h"

namespace {

bool write_file(const char* path, const std::string& text) {
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && ok;
}

TryRecord attempt(int64_t start_ms, int64_t runtime_ms, TryOutcome outcome, int32_t code = 0) {
    TryRecord t;
    t.start_epoch_ms = 1765339200000 + start_ms;
    t.runtime_ms = runtime_ms;
    t.outcome = outcome;
    t.code = code;
    if (outcome == TryOutcome::kTimedOut) t.timeout_ms = runtime_ms;
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: campaign_page_demo PAGE JOBLOG\n");
        return 2;
    }
    CampaignRecord campaign;
    campaign.jobs = 2;
    for (int32_t c = 0; c < 7; ++c) {
        CopyRecord copy;
        copy.copy = c;
        copy.first = c * 10;
        copy.share = 10;
        copy.command = "VORNCoreExTest.exe 02C4E67%05d " + std::to_string(copy.first) + " 10 " +
                       std::to_string(c);
        copy.output = "logs/copy-" + std::to_string(c) + ".log";
        copy.host = ":";
        campaign.copies.push_back(copy);
    }
    auto& copies = campaign.copies;
    copies[0].tries = {attempt(0, 1200, TryOutcome::kExited)};
    copies[1].tries = {attempt(0, 800, TryOutcome::kExited, 3)};
    copies[2].tries = {attempt(800, 500, TryOutcome::kExited, 1),
                       attempt(1300, 700, TryOutcome::kExited)};
    copies[3].tries = {attempt(1200, 2500, TryOutcome::kTimedOut)};
    copies[4].command = "VORNCoreExTest.exe </script><script>window.pwned=1</script><!-- & 40 10 4";
    copies[4].output = "logs/<img src=x onerror=\"window.pwned=2\">&amp;.log";
    copies[4].tries = {attempt(2000, 300, TryOutcome::kSignaled, 11)};
    copies[6].tries = {attempt(3700, 0, TryOutcome::kNotTried)};
    campaign.stop_reason = "2 copies failed";

    std::string log = kJobLogHeader;
    for (const CopyRecord& copy : copies) {
        for (const TryRecord& t : copy.tries) log += joblog_line(copy, t);
    }
    if (!write_file(argv[1], campaign_page(campaign)) || !write_file(argv[2], log)) {
        std::perror("campaign_page_demo");
        return 1;
    }
    return 0;
}
