// Program-wide error vocabulary. Every fallible operation returns its result or one
// ErrorCode; the name (error_name) is the only external form, numeric values are internal.
#pragma once

#include <cstdint>
#include <expected>
#include <new>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>

namespace skerrow {

// Value 0 means "no error"; it is never returned as a failure.
enum class ErrorCode : std::uint16_t {
  None = 0,
  OutOfMemory,
  Overflow,
  DiskQuota,
  FileTooBig,
  InputOutput,
  NoSpaceLeft,
  DeviceBusy,
  InvalidArgument,
  AccessDenied,
  PermissionDenied,
  BrokenPipe,
  SystemResources,
  OperationAborted,
  NotOpenForWriting,
  LockViolation,
  WouldBlock,
  ConnectionResetByPeer,
  ProcessNotFound,
  NoDevice,
  MessageTooBig,
  Unexpected,
  SharingViolation,
  PathAlreadyExists,
  FileNotFound,
  PipeBusy,
  NameTooLong,
  InvalidUtf8,
  InvalidWtf8,
  BadPathName,
  NetworkNotFound,
  AntivirusInterference,
  SymLinkLoop,
  ProcessFdQuotaExceeded,
  SystemFdQuotaExceeded,
  IsDir,
  NotDir,
  FileLocksNotSupported,
  FileBusy,
  ConnectionTimedOut,
  NotOpenForReading,
  SocketNotConnected,
  Canceled,
  StreamTooLong,
  InvalidCharacter,
  UnexpectedToken,
  InvalidNumber,
  InvalidEnumTag,
  DuplicateField,
  UnknownField,
  MissingField,
  LengthMismatch,
  SyntaxError,
  UnexpectedEndOfInput,
  BufferUnderrun,
  ValueTooLong,
  MissingParentConfig,
  MissingParentUrl,
  InvalidPort,
  InvalidListenAddress,
  AddressFamilyNotSupported,
  ProtocolFamilyNotAvailable,
  ProtocolNotSupported,
  SocketTypeNotSupported,
  AlreadyConnected,
  InvalidProtocolOption,
  TimeoutTooBig,
  OperationNotSupported,
  NetworkSubsystemFailed,
  FileDescriptorNotASocket,
  SocketNotBound,
  InvalidEnd,
  Incomplete,
  NonCanonical,
  AddressInUse,
  AddressNotAvailable,
  ReadOnlyFileSystem,
  AlreadyBound,
  ThreadQuotaExceeded,
  LockedMemoryLimitExceeded,
  ZmqContextFailed,
  ZmqSocketFailed,
  EndpointTooLong,
  ZmqBindFailed,
  TooManySubscriptions,
  ZmqConnectFailed,
  EventNotFound,
  ConnectionAborted,
  SocketNotListening,
  ProtocolFailure,
  BlockedByFirewall,
  DnsResolutionFailed,
  ConnectionRefused,
  NetworkUnreachable,
  ConnectionPending,
  InvalidLength,
  WriteFailed,
  ReadFailed,
  EndOfStream,
  Unimplemented,
  Streaming,
  Unseekable,
  Locked,
  DeadLock,
  LockedRegionLimitExceeded,
  ExpectedSecondSurrogateHalf,
  Timeout,
  UnsupportedOperation,
  BadFileFlags,
  Interrupted,
  InvalidArguments,
  CorruptedData,
  SwapFile,
  NotSameFileSystem,
  Utf8CannotEncodeSurrogateHalf,
  CodepointTooLarge,
  HeaderTooLong,
  InvalidAuxSubmit,
  MissingResult,
  StateFileUnusable,
  ResponseCutOff,
  BufferTooSmall,
  TimerUnsupported,
  Unsupported,
  UnsupportedClock,
  Utf8InvalidStartByte,
  Utf8ExpectedContinuation,
  Utf8OverlongEncoding,
  Utf8EncodesSurrogateHalf,
  Utf8CodepointTooLarge,
  MemoryMappingNotSupported,
  MappingAlreadyExists,
};

// Number of named errors (None excluded).
inline constexpr std::size_t kErrorCount = 131;

// The name of `code`, for example "ConnectionRefused". None gives "None".
std::string_view error_name(ErrorCode code);

template <typename T>
using Result = std::expected<T, ErrorCode>;

// Result of an operation that yields nothing on success.
using Status = std::expected<void, ErrorCode>;

inline std::unexpected<ErrorCode> fail(ErrorCode code) { return std::unexpected<ErrorCode>(code); }

// Runs `body` (which returns a Result or Status) and answers OutOfMemory when it cannot get
// the memory it needs: this is where std::bad_alloc stops, so that no exception leaves a
// library. A std::length_error (a size no allocator could ever give) counts the same.
// Other exceptions pass through unchanged.
template <class F>
auto catch_oom(F&& body) -> std::invoke_result_t<F&&> {
  try {
    return std::forward<F>(body)();
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  } catch (const std::length_error&) {
    return fail(ErrorCode::OutOfMemory);
  }
}

}  // namespace skerrow
