#include "html.h"

std::string campaign_page(const CampaignRecord&) {
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>SpawnBench "
           "campaign</title></head><body><script type=\"application/json\" "
           "id=\"campaign\">{}</script></body></html>\n";
}
