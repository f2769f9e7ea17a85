// Names of the module's status values.
#include "core/status.h"

const char* KTZStatusName(KTZStatus status)
{
    switch (status)
    {
    case STATUS_OK: return "STATUS_OK";
    case STATUS_UNSUPPORTED: return "STATUS_UNSUPPORTED";
    case STATUS_CLIENT_DELETE_PENDING: return "STATUS_CLIENT_DELETE_PENDING";
    case STATUS_BAD_LENGTH: return "STATUS_BAD_LENGTH";
    case STATUS_NOT_READY: return "STATUS_NOT_READY";
    case STATUS_QUEUE_FULL: return "STATUS_QUEUE_FULL";
    case STATUS_BAD_PARAMETER: return "STATUS_BAD_PARAMETER";
    case STATUS_NO_RESOURCES: return "STATUS_NO_RESOURCES";
    case STATUS_SETUP_FAILED: return "STATUS_SETUP_FAILED";
    default: return "STATUS_<unknown>";
    }
}
