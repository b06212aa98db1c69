#include "ndisnames.h"

#include <cstdio>

namespace talhost {

const char *ndis_status_name(NDIS_STATUS status) {
    switch (status) {
    case NDIS_STATUS_SUCCESS:
        return "NDIS_STATUS_SUCCESS";
    case NDIS_STATUS_PENDING:
        return "NDIS_STATUS_PENDING";
    case NDIS_STATUS_FAILURE:
        return "NDIS_STATUS_FAILURE";
    case NDIS_STATUS_RESOURCES:
        return "NDIS_STATUS_RESOURCES";
    case NDIS_STATUS_NOT_SUPPORTED:
        return "NDIS_STATUS_NOT_SUPPORTED";
    case NDIS_STATUS_MEDIA_CONNECT:
        return "NDIS_STATUS_MEDIA_CONNECT";
    case NDIS_STATUS_MEDIA_DISCONNECT:
        return "NDIS_STATUS_MEDIA_DISCONNECT";
    case NDIS_STATUS_UNSUPPORTED_MEDIA:
        return "NDIS_STATUS_UNSUPPORTED_MEDIA";
    case NDIS_STATUS_INVALID_LENGTH:
        return "NDIS_STATUS_INVALID_LENGTH";
    case NDIS_STATUS_BUFFER_TOO_SHORT:
        return "NDIS_STATUS_BUFFER_TOO_SHORT";
    case NDIS_STATUS_INVALID_DATA:
        return "NDIS_STATUS_INVALID_DATA";
    case NDIS_STATUS_INVALID_OID:
        return "NDIS_STATUS_INVALID_OID";
    case NDIS_STATUS_ADAPTER_NOT_FOUND:
        return "NDIS_STATUS_ADAPTER_NOT_FOUND";
    default:
        return "NDIS_STATUS_UNKNOWN";
    }
}

std::string ndis_status_text(NDIS_STATUS status) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s (0x%08X)", ndis_status_name(status), (unsigned)status);
    return buf;
}

} // namespace talhost
