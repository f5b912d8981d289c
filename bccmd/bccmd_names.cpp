// Names of varids, statuses and message types.
#include "bccmd/bccmd_names.h"

#include "bccmd/bccmd.h"

namespace {

struct BccmdName {
    std::uint16_t value;
    const char* name;
};

constexpr BccmdName BCCMD_VARID_NAMES[] = {
    {VARID_BUILD_ID, "BUILD_ID"},
    {VARID_COLD_RESET, "COLD_RESET"},
    {VARID_PS_DEFRAG_RESET, "PS_DEFRAG_RESET"},
    {VARID_PS, "PS"},
};

constexpr BccmdName BCCMD_STATUS_NAMES[] = {
    {BCCMD_STATUS_OK, "OK"},
    {BCCMD_STATUS_NO_SUCH_VARID, "NO_SUCH_VARID"},
    {BCCMD_STATUS_TOO_BIG, "TOO_BIG"},
    {BCCMD_STATUS_NO_VALUE, "NO_VALUE"},
    {BCCMD_STATUS_BAD_REQUEST, "BAD_REQUEST"},
    {BCCMD_STATUS_ERROR, "ERROR"},
};

constexpr BccmdName BCCMD_TYPE_NAMES[] = {
    {BCCMD_GET_REQUEST, "get"},
    {BCCMD_GET_RESPONSE, "response"},
    {BCCMD_SET_REQUEST, "set"},
};

template <std::size_t N>
const char* bccmd_name_find(const BccmdName (&names)[N], std::uint16_t value)
{
    for (const BccmdName& entry : names) {
        if (entry.value == value) {
            return entry.name;
        }
    }
    return nullptr;
}

}  // namespace

const char* bccmd_varid_name(std::uint16_t varid)
{
    return bccmd_name_find(BCCMD_VARID_NAMES, varid);
}

const char* bccmd_status_name(std::uint16_t status)
{
    return bccmd_name_find(BCCMD_STATUS_NAMES, status);
}

const char* bccmd_type_name(std::uint16_t type)
{
    return bccmd_name_find(BCCMD_TYPE_NAMES, type);
}
