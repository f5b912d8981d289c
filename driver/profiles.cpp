#include "driver/profiles.h"

// PLACEHOLDERS: these do nothing yet and report success. The chip
// configuration profiles (persistent-store writes over BCSP, the defragmenting
// reset, the cold reset) replace them in this file in a later step, once the
// BCSP and BCCMD layers exist.

int configure_before_update()
{
    return 1;
}

int configure_after_update(int download_failed)
{
    (void)download_failed;
    return 1;
}
