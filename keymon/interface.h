// What keymon shows other programs, for the tools that drive and read it.
#pragma once

// The title keymon gives its window. Setting it is the last step of
// keymon's start-up, after Unicode translation is on, so a window that
// carries it belongs to a monitor ready to take keys: tools that drive
// keymon find its window by this title and wait for it.
inline constexpr char keymon_window_title[] = "keymon";

// The tag that starts every report line.
inline constexpr char keymon_report_tag[] = "ITEM_ID_XY ";

// How keymon waits once SDL's queue is empty and no Escape press or quit
// request is pending: poll(2) on the X connection with this timeout, or,
// with no X connection, poll(2) on nothing with the short one. keymon makes
// these calls nowhere else, and never once it is ending, so a tool that
// sees keymon's main thread blocked in one (/proc/PID/syscall) knows that
// keymon has taken every event it was sent before its last report line
// and will go on running: the one sure sign that a key did not end it.
inline constexpr int keymon_idle_wait_ms = 100;
inline constexpr int keymon_idle_nap_ms = 1;
