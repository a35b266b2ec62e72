#include "settings.h"

#include <cstring>

#include "ini.h"
#include "vorn_util.h"

bool read_settings(const LaunchOptions& options, FILE* notices, LaunchSettings* settings,
                   std::string* error) {
    std::snprintf(settings->tmpl, sizeof settings->tmpl, "%s", kDefaultTemplate);
    settings->total = kDefaultTotal;

    const bool read_total = !options.has_total, read_seed = !options.has_seed_id;
    if ((read_total || read_seed) && util_is_file_exist(kConfigPath)) {
        if (read_total) {
            char total_text[1024];
            ini_read_value(kConfigPath, "Platform", "total", total_text, sizeof total_text);
            settings->total = parse_total(total_text);
        }
        if (read_seed) {
            const char* seed = "";
            if (FILE* stream = std::fopen(kConfigPath, "r")) {
                seed = ini_read_value_stream(stream, "Platform", "seedID");
            } else {
                std::fprintf(notices, "have   no   such   file \n");
                std::fflush(notices);
            }
            size_t seed_length = std::strlen(seed);
            if (seed_length >= sizeof settings->tmpl) {
                *error = std::string("seedID in ") + kConfigPath + " is " +
                         std::to_string(seed_length) + " characters long; at most " +
                         std::to_string(sizeof settings->tmpl - 1) + " fit";
                return false;
            }
            std::memcpy(settings->tmpl, seed, seed_length + 1);
        }
    }
    if (options.has_total) settings->total = options.total;
    // The option's length was checked when it was parsed.
    if (options.has_seed_id) {
        std::snprintf(settings->tmpl, sizeof settings->tmpl, "%s", options.seed_id.c_str());
    }
    return true;
}
