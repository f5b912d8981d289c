#include "tool/version.h"

const char* tool_version()
{
    return MARROWLINK_TOOL_VERSION;
}
