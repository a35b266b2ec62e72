// --report LOG: JUnit and the page of a campaign from its job log alone, all
// of its reruns included, starting nothing.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "html.h"
#include "junit.h"
#include "modes.h"
#include "record.h"
#include "vorn_report_util.h"

namespace {

bool write_report_file(const char* path, const char* what, const std::string& text) {
    std::FILE* file = util_open_log_file(path, false);
    bool ok = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (file != nullptr) ok = std::fclose(file) == 0 && ok;
    if (!ok) {
        std::fprintf(stderr, "SpawnBench: cannot write %s '%s': %s\n", what,
                     printable_argument(path).c_str(), std::strerror(errno));
    }
    return ok;
}

}  // namespace

int report_campaign(const LaunchOptions& options, const LaunchSettings& settings) {
    CampaignRecord campaign;
    if (!read_campaign(options, settings, options.report, &campaign.copies)) return 2;
    const int32_t count = static_cast<int32_t>(campaign.copies.size());
    bool ok = true;
    try {
        if (options.junit != nullptr) {
            CampaignCounts counts = campaign_counts(campaign.copies.data(), count);
            ok = write_report_file(options.junit, "JUnit file",
                                   junit_document(campaign.copies.data(), count,
                                                  counts.end_epoch_ms - counts.begin_epoch_ms)) &&
                 ok;
        }
        if (options.html != nullptr)
            ok = write_report_file(options.html, "page", campaign_page(campaign)) && ok;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "SpawnBench: cannot allocate the report of %d copies\n", count);
        return 1;
    }
    std::string summary = failure_summary(campaign.copies.data(), count);
    if (!summary.empty()) std::fprintf(stderr, "%s\n", summary.c_str());
    std::string flaky = flaky_summary(campaign.copies.data(), count);
    if (!flaky.empty()) std::fprintf(stderr, "%s\n", flaky.c_str());
    if (!ok) return 1;
    if (options.strict) {
        for (const CopyRecord& copy : campaign.copies) {
            if (copy_failed(copy)) return 1;
        }
    }
    return 0;
}
