#pragma once

#include <cstdint>

// One I/O handle of the bridge: a board's tty node, a board's hidraw node, or
// the loopback TCP connection to the IDE. Closed is 0, 0, 0, -1; an open
// endpoint has fd >= 0 and exactly one kind flag set. Only is_hid changes how
// reads and writes behave.
struct endpoint {
    int32_t is_serial;
    int32_t is_hid;
    int32_t is_socket;
    int32_t fd;
};

// A HID board sends 64-byte input reports of zero-filled text and takes
// 32-byte output reports.
inline constexpr int32_t hid_input_report_size = 64;
inline constexpr int32_t hid_output_report_size = 32;

// Sets the closed state; never closes a descriptor.
void endpoint_reset(endpoint* ep);

// Opens a tty node in raw mode with its pending input discarded; 1, or 0 with ep closed.
int32_t endpoint_open_serial(endpoint* ep, const char* path);

// Opens a hidraw node and sends the open feature report; 1, or 0 with ep closed.
int32_t endpoint_open_hid(endpoint* ep, const char* path);

// Connects a non-blocking TCP socket to address:port (host byte order), waiting
// at most a few seconds for the listener; 1, or 0 with ep closed and errno set.
int32_t endpoint_connect(endpoint* ep, uint32_t address, uint16_t port);

// Closes the descriptor if ep holds one, then sets the closed state.
void endpoint_close(endpoint* ep);

// endpoint_close for a bridge that stops: a tty's unsent output is dropped
// first, so that the close never waits for a board that does not read.
void endpoint_discard(endpoint* ep);

// Gives copy its own duplicate of ep's descriptor, same kind; 1, or 0 with copy closed.
int32_t endpoint_duplicate(const endpoint* ep, endpoint* copy);

// Waits until ep is readable and reads what is there, at most limit bytes (a
// HID endpoint: one report whatever the limit, delivered as its text, so the
// buffer holds at least 65 bytes). Returns the count; 0 on error, end of
// stream, a closed ep, or when stop_fd (ignored if negative) becomes readable.
// With 0, errno tells why: 0 at end of stream, ENODATA for a HID report
// without text, ECANCELED for a stop, EBADF for a closed ep, else the error.
int32_t endpoint_read(const endpoint* ep, char* buffer, int32_t limit, int32_t stop_fd);

// Writes all length bytes (a HID endpoint: exactly one 32-byte report, zero-
// filled in the buffer past length). Returns the count written; 0 on error, a
// closed ep, or when stop_fd becomes readable before anything was written.
// Short of length, errno tells why, as for endpoint_read.
int32_t endpoint_write(const endpoint* ep, char* buffer, int32_t length, int32_t stop_fd);
