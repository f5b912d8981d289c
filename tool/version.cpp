#include "tool/version.h"

#include "marrowlink_version.h"

const char* tool_version()
{
    return MARROWLINK_VERSION;
}
