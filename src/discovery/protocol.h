#pragma once

#include <pthread.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "discovery/port_set.h"

struct device_record;

// The IDE's discovery protocol, version 1: commands on standard input, one
// JSON object per reply or event on standard output.

// Where the client stands; a QUIT ends the process instead of entering a state.
inline constexpr int32_t state_alive = 0;    // started: no HELLO yet
inline constexpr int32_t state_idling = 1;   // after HELLO or STOP
inline constexpr int32_t state_running = 2;  // after START: LIST answers
inline constexpr int32_t state_syncing = 3;  // after START_SYNC: add and remove events flow

// The commands a line can name; unknown for any other line.
enum class discovery_command { hello, start, stop, list, start_sync, quit, unknown };

// The client's state. Guarded by output_lock.
extern int32_t discovery_state;

// Serialises everything written to the output and the port set: a reply and
// the events it starts are never split by an event of the watcher.
extern pthread_mutex_t output_lock;

// The descriptor replies and events go to: standard output, or a test's pipe.
extern int discovery_output_fd;

// The command the line names, by its first word; a line ends at LF, CR or its end.
discovery_command discovery_command_of(std::string_view line);

// The protocol version a HELLO line asks for, or -1 when it names none.
int32_t hello_version_of(std::string_view line);

// The PORT object of a port, as one line of JSON; always valid UTF-8.
std::string port_json(const discovery_port* port);

// Answers one line; 0 after QUIT (the caller ends the process), else 1.
// Main thread; takes output_lock.
int32_t discovery_execute(std::string_view line);

// Watcher hooks: the record's port is worked out again, or the record goes.
// Each takes output_lock and writes an event when a client is in sync.
void discovery_record_changed(const device_record* record);
void discovery_record_removing(const device_record* record);

// Called by the watcher thread once the devices present at start are tracked;
// LIST waits (up to a second) for it.
void discovery_scan_done();
