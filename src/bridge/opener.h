#pragma once

#include <cstdint>

#include "bridge/port_table.h"

// The opener: one thread that owns the opening of the board side. While the
// board side is wanted, the entry asked for is published and selected and
// the board side is closed, it opens the entry's node at once when asked;
// while the IDE is connected too, it tries again after pauses that grow from
// opener_first_pause_ms to opener_last_pause_ms, for as long as that lasts.
// The command loop, the watcher and the relays only ask, so none of them
// ever waits on a board; the opener opens one node at a time, so a HID board
// gets one feature report per opening.

inline constexpr int32_t opener_first_pause_ms = 100;
inline constexpr int32_t opener_last_pause_ms = 1000;

// Guarded by port_lock: 1 from a request for the board side (OPEN, a
// publication of the selected address) until CLOSE, or until the board's
// node fails with no other node in its place.
extern int32_t bridge_wanted;

// Called with port_lock held; starts the opener thread if this process has
// none yet (later calls do nothing).
void opener_start();

// Called with port_lock held. The board side of entry is wanted (entry may
// be null: nothing to open until a publication names one); the opener tries
// at once, and reason goes into the trace of that try. Returns the count of
// tries finished so far, for bridge_await.
uint32_t bridge_want(port_entry* entry, const char* reason);

// Called with port_lock held. Something changed for the selected board (a
// "change" event: its node's access may differ): when the board side is
// wanted, the opener tries at once.
void bridge_poke(const char* reason);

// Called with port_lock held. No more tries until the next bridge_want; an
// opening in progress still ends as bridge_open says.
void bridge_unwant();

// Called with no lock held. Waits until the board side is open (1), or 0:
// when there is nothing to try, when a try finished after since failed (a
// busy node only once a try that ended busy_retry_ms after started_ms
// failed), or at deadline_ms (all on the monotonic clock, in ms). failure
// tells the failed try, error 0 when there is none.
int32_t bridge_await(uint32_t since, int64_t started_ms, int64_t deadline_ms,
                     bridge_failure* failure);

// The monotonic clock in milliseconds.
int64_t monotonic_ms();
