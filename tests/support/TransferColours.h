#ifndef TAVENOOK_TESTS_SUPPORT_TRANSFERCOLOURS_H
#define TAVENOOK_TESTS_SUPPORT_TRANSFERCOLOURS_H

#include <utility>

#include "store/Settings.h"

// The transfer lists' status colours as the main window writes them before
// the load; a test without the window writes them itself.
inline void WriteTransferColours() {
    for (const auto& [key, colour] : {std::pair{"color_transfer_queued", "#3366ff"},
                                      {"color_transfer_complete", "#006400"},
                                      {"color_transfer_in_progress", "#0000ff"},
                                      {"color_transfer_failed", "#ff0a47"},
                                      {"color_transfer_other", "#000000"}})
        SetSetting(key, colour);
}

#endif
