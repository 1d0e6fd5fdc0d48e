// TCP connections, socket polls and the module name service.
//
// Plain functions on socket numbers (int, -1 = no connection). Every socket the kit
// opens here is an IPv4 stream socket, close-on-exec and non-blocking from before its
// connection attempt. Every wait is a poll() that resumes after a signal (EINTR) with
// the time that is left, and every send goes out with MSG_NOSIGNAL: a module that
// closes its end never raises SIGPIPE in the application.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace nivex {

// ------------------------------------------------------------------ ticks and errors

// Milliseconds of the monotonic clock, wrapping at 32 bits. Compare two ticks by their
// unsigned difference.
unsigned int GetTickCount();

// The calling thread's platform error number (errno).
int WSAGetLastError();

// ------------------------------------------------------------------ connections

// Connects to ip:port. The third argument is accepted and not used. Returns the
// connected socket or -1. Prints "connect to host %s:%d failed.\n" when the address is
// invalid or the module refuses, "select time out\n" for each wait of 10 s that ends
// without an answer (at most 5), "select error\n" when a wait fails, and
// "useSocket==SOCKET_ERROR err code %d\n" when no socket can be made.
int OpenTcp(const char* ip, int port, int timeout);

// As OpenTcp for a sample-data port: the receive buffer is set to 32768 bytes before
// the connection attempt; a failed socket creation prints nothing.
int OpenTcp_DataPort(const char* ip, int port, int timeout);

// Connects to ip:port anew in place of the connection fd holds: fd keeps its number and is
// the new connection from then on (the old one is closed in the same step, so a thread that
// reads the number never meets a closed or reused socket). The attempt waits at most waitMs
// and prints as OpenTcp. 1 on success; 0 when the module cannot be reached (fd unchanged).
int ReconnectTcp(int fd, const char* ip, int port, int waitMs);

// Closes fd (nothing for a negative fd).
void CloseTcp(int fd);

// Waits up to `seconds` (0 = look and return) for fd to become readable. 1 when
// readable (also at end of stream or on a socket error, so that the following receive
// reports it), 0 on time-out, -1 when the wait fails (errno set; fd < 0 gives EBADF).
int IsDataAvailable(int fd, int seconds);

// 1 when fd is not negative.
int IsConnected(int fd);

// ------------------------------------------------------------------ sends

// The one send of the kit: a single send() with MSG_NOSIGNAL, resumed after EINTR.
// Returns the bytes sent or -1 (errno set). It may send fewer bytes than asked.
ssize_t tcp_send(int fd, const void* buf, size_t n);

// Sends all n bytes, waiting up to timeoutMs in total for room when the non-blocking
// socket is full. Returns n, or -1 on a hard error or when the time runs out.
ssize_t tcp_send_all(int fd, const void* buf, size_t n, int timeoutMs);

// Discards whatever is waiting to be received on fd without waiting. Returns the
// number of bytes discarded; stops at end of stream or on an error.
size_t tcp_drain(int fd);

// ------------------------------------------------------------------ typed transfers
// Each returns the number of whole items moved, 0 for n <= 0 or when nothing is ready,
// -1 when the socket call fails. ReadShort receives without a readiness poll, so on an
// idle socket it fails (-1, errno EAGAIN) where the others give 0. Reads never take a
// partial item out of the socket, and writes send every byte of their items (or fail).

int ReadChar(int fd, char* buf, int n);
int ReadShort(int fd, short* buf, int n);
int ReadLong(int fd, int* buf, int n);
int ReadFloat(int fd, char* buf, int n);
int WriteChar(int fd, char* buf, int n);
int WriteShort(int fd, short* buf, int n);
int WriteLong(int fd, int* buf, int n);
int WriteFloat(int fd, char* buf, int n);

// ------------------------------------------------------------------ name lookups
// Entry points kept for the interface; they do nothing and leave their outputs as they are.

void GetHostIPByName(char* name, char* ip);
void Ipconfig(char* a, char* b);
void GetHostNameByIP(char* ip, char* name);
void GetServiceNameByPort(int port, char* a, char* b);
void GetServicePortByName(char* name, char* a, unsigned short* port);

// ------------------------------------------------------------------ name service (port 10000)

// Buffer sizes of the name-service outputs.
constexpr int kModuleNameSize = 254;   // name: up to 253 characters and a NUL
constexpr int kFirmwareDateSize = 26;  // date: up to 25 characters and a NUL

// Sends "10\r" and stores the module name (the reply from position 2, without its line
// end) in name (kModuleNameSize bytes). 1 on success; 0 for fd 0 or negative (no
// traffic), a failed send, a closed connection or no reply within 1000 ms (name
// untouched). A reply that arrives in several pieces is collected up to its line end.
int GetModuleNameTCP(int fd, char* name);

// Sends "01\r" and stores the hexadecimal firmware version (from position 3, low 16
// bits) and the date text (after the first blank at positions 4 .. n-5, at most 25
// characters) in date (kFirmwareDateSize bytes). Results as GetModuleNameTCP.
int GetFirmVersionDateTCP(int fd, unsigned short* version, char* date);

namespace detail {

// The connection attempt behind OpenTcp and OpenTcp_DataPort with its waits as
// parameters (tests use short ones): rcvbuf > 0 sets SO_RCVBUF before connecting,
// quietSocketError suppresses the line for a failed socket creation.
int OpenTcpImpl(const char* ip, int port, int rcvbuf, bool quietSocketError, int waits,
                int waitMs);

// poll() for readability with a millisecond time-out (< 0 waits without end), resumed
// after EINTR with the time left. 1 readable (or end of stream / error pending),
// 0 time-out, -1 failure (errno set; fd < 0 gives EBADF).
int WaitReadable(int fd, int timeoutMs);

// Parses a name-service reply of n bytes (as received, line end included) the way the
// two queries do. Exposed for tests.
void ParseModuleName(const char* reply, int n, char* name);
void ParseFirmware(const char* reply, int n, unsigned short* version, char* date);

}  // namespace detail
}  // namespace nivex
