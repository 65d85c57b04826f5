// What keymon shows other programs, for the tools that drive and read it.
#pragma once

// The title keymon gives its window. Setting it is the last step of
// keymon's start-up, after Unicode translation is on, so a window that
// carries it belongs to a monitor ready to take keys: tools that drive
// keymon find its window by this title and wait for it.
inline constexpr char keymon_window_title[] = "keymon";

// The tag that starts every report line.
inline constexpr char keymon_report_tag[] = "ITEM_ID_XY ";
