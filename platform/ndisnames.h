// Names of NDIS status codes for messages of tools and tests.
#pragma once

#include <string>

#include "hostndis.h"

namespace talhost {

// "NDIS_STATUS_FAILURE" and the like; "NDIS_STATUS_UNKNOWN" for others.
const char *ndis_status_name(NDIS_STATUS status);
// "NDIS_STATUS_FAILURE (0xC0000001)".
std::string ndis_status_text(NDIS_STATUS status);

} // namespace talhost
