// The chip configuration profiles written over BCSP before and after the
// firmware download.
#pragma once

// 1 when the chip was prepared for the download, 0 otherwise. The BCSP port
// is closed again on return either way.
int configure_before_update();

// Restores the chip's configuration after the download (download_failed
// non-zero selects the failed-download keys) and cold-resets it. 1 when every
// counted step succeeded.
int configure_after_update(int download_failed);
