// The JSON-RPC client: one POST per call over a fresh TCP connection, reply read until the
// daemon closes. Blocking; logs nothing; of the reply's status line and headers it looks only
// at Content-Length, to tell a whole reply from one cut off, and at the status code, which it
// reports to a caller that asks (CallTrace) without judging it.
// Calls share no state: any number may run at once, towards the same daemon or not, as long
// as `memory` is safe for the callers that share it.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <string>
#include <string_view>

#include "error/error.h"
#include "json/reader.h"
#include "rpc/address.h"

namespace skerrow {

// Raw reply bytes (status line and headers included) that a reply may hold: room for the
// template of a full block of witness-heavy transactions several times over.
inline constexpr std::size_t kMaxReplyBytes = 64u * 1024 * 1024;
// Room for user ':' pass before encoding.
inline constexpr std::size_t kCredentialBuffer = 256;

// How far a call got, for a caller that may try another daemon: whether the whole request
// went out (a daemon that never got all of it cannot have acted on it), and the reply's HTTP
// status code (0 until a status line was read). Filled on success and failure alike.
struct CallTrace {
  bool request_sent = false;
  int status = 0;
};

// Builds the exact header block of the request for a body of `body_size` bytes:
// "POST / HTTP/1.1", Host with the port always written, Content-Type, Content-Length,
// "Authorization: Basic ..." only when the user is non-empty, "Connection: close", blank line.
// The body follows it on the wire unchanged and is never copied. Allocates from `memory`
// only; the result is owned by the caller. Errors: NoSpaceLeft (user ':' pass longer than
// 256 bytes), OutOfMemory.
Result<std::pmr::string> build_request_head(const ChainEndpoint& daemon, std::size_t body_size,
                                            std::pmr::memory_resource* memory);

// Posts `body` to the daemon and returns the reply body: everything after the first blank
// line ("\r\n\r\n"), read until the daemon closes. The status is not looked at, so an HTTP
// error with an empty body is an empty success (a close right after the header block, or a
// Content-Length of 0). Only a whole reply is returned; one the daemon did not finish fails:
//   - the daemon closes before the blank line (also with nothing sent): ReadFailed;
//   - the header block announces a Content-Length (any letter case, plain decimal value) and
//     fewer body bytes arrive before the close: ReadFailed (more are returned, all of them);
//   - a read fails, such as on a reset: the read table's name (ConnectionResetByPeer, ...;
//     see platform/io.h), unless the announced Content-Length had already arrived whole;
//   - more than kMaxReplyBytes arrive in all: StreamTooLong (exactly that many is fine).
// EndOfStream is never returned.
//
// The result and the request head and reply buffers are allocated from `memory`; only the
// result outlives the call (its capacity may exceed its size), and the socket and the
// resolver's list are released on every path. The reply buffer grows with the reply (sized
// once when it announces its length), so a small reply never holds room for a large one. Only
// the first IPv4 address of the host is tried. The request always goes out whole, its body
// sent from `body` itself; the descriptor is close-on-exec.
//
// `timeout_ms` > 0 bounds the whole exchange after name resolution — connect, send and
// reading until the daemon closes — by that many milliseconds; running out fails the call
// with ConnectionTimedOut, whatever had arrived by then. 0: no limit.
//
// With `trace`, also tells how far the call got (see CallTrace).
//
// Errors: NoSpaceLeft, OutOfMemory, the socket table (SystemResources, AccessDenied,
// ProtocolFamilyNotAvailable, SystemFdQuotaExceeded, ProcessFdQuotaExceeded,
// SocketTypeNotSupported, ProtocolNotSupported, AddressFamilyNotSupported, Unexpected),
// DnsResolutionFailed (also for a host text holding a zero byte), the connect table
// (PermissionDenied, FileNotFound, AccessDenied, WouldBlock, ConnectionPending,
// AddressFamilyNotSupported, AddressInUse, AddressNotAvailable, NetworkUnreachable,
// ConnectionResetByPeer, ConnectionTimedOut, ConnectionRefused, Unexpected), the write table
// (see platform/io.h), ConnectionTimedOut, SystemResources or Unexpected (a failing poll),
// then while reading: ReadFailed, StreamTooLong and the read table.
Result<std::pmr::string> call(const ChainEndpoint& daemon, std::pmr::memory_resource* memory,
                              std::string_view body, std::uint64_t timeout_ms = 0,
                              CallTrace* trace = nullptr);

// call, then parse the reply with the JSON reader into a document whose storage comes from
// `memory`. The raw bytes are freed in every case. Errors: those of call, then those of
// parse_json (an empty reply is one of them).
Result<JsonDocument> call_json(const ChainEndpoint& daemon, std::pmr::memory_resource* memory,
                               std::string_view body, std::uint64_t timeout_ms = 0,
                               CallTrace* trace = nullptr);

}  // namespace skerrow
