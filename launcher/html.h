// The campaign as one self-contained page: a timeline of every try, a
// summary, and the record as JSON for other tools.
#pragma once

#include <string>

#include "record.h"

std::string campaign_page(const CampaignRecord& campaign);
