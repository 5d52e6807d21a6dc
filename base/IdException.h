// IdException: the one error hierarchy of Vantrel, rooted in EIdException.
// Every class reports its own name (ClassName) so that the shell can print
// "Class: message" for an error that escapes start-up.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

class EIdException : public std::exception {
public:
    explicit EIdException(std::string message = {}) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }
    virtual const char* ClassName() const noexcept { return "EIdException"; }

private:
    std::string message_;
};

#define VTL_DECLARE_EXCEPTION(Name, Base)                                            \
    class Name : public Base {                                                       \
    public:                                                                          \
        using Base::Base;                                                            \
        const char* ClassName() const noexcept override { return #Name; }            \
    }

// Errors that are not reported to a user (a peer that closed, a silent abort).
VTL_DECLARE_EXCEPTION(EIdSilentException, EIdException);
VTL_DECLARE_EXCEPTION(EIdConnClosedGracefully, EIdSilentException);
VTL_DECLARE_EXCEPTION(EAbort, EIdSilentException);

// Socket layer.
class EIdSocketError : public EIdException {
public:
    EIdSocketError(int32_t lastError, std::string message)
        : EIdException(std::move(message)), lastError_(lastError) {}
    int32_t LastError() const noexcept { return lastError_; }
    const char* ClassName() const noexcept override { return "EIdSocketError"; }

private:
    int32_t lastError_;
};
VTL_DECLARE_EXCEPTION(EIdNotASocket, EIdSocketError);

VTL_DECLARE_EXCEPTION(EIdSocketHandleError, EIdException);
VTL_DECLARE_EXCEPTION(EIdCouldNotBindSocket, EIdSocketHandleError);
VTL_DECLARE_EXCEPTION(EIdCanNotBindPortInRange, EIdSocketHandleError);
VTL_DECLARE_EXCEPTION(EIdInvalidPortRange, EIdSocketHandleError);
VTL_DECLARE_EXCEPTION(EIdCannotSetIPVersionWhenConnected, EIdSocketHandleError);

VTL_DECLARE_EXCEPTION(EIdStackError, EIdException);
VTL_DECLARE_EXCEPTION(EIdStackInitializationFailed, EIdStackError);
VTL_DECLARE_EXCEPTION(EIdStackSetSizeExceeded, EIdStackError);
VTL_DECLARE_EXCEPTION(EIdIPVersionUnsupported, EIdStackError);
VTL_DECLARE_EXCEPTION(EIdIPv6Unavailable, EIdException);

// Text helpers.
VTL_DECLARE_EXCEPTION(EIdRangeException, EIdException);
VTL_DECLARE_EXCEPTION(EIdInvalidIPv6Address, EIdException);

// Byte buffer.
VTL_DECLARE_EXCEPTION(EIdTooMuchDataInBuffer, EIdException);
VTL_DECLARE_EXCEPTION(EIdNotEnoughDataInBuffer, EIdException);

// Buffered I/O handler and connections.
VTL_DECLARE_EXCEPTION(EIdReadTimeout, EIdException);
VTL_DECLARE_EXCEPTION(EIdReadLnMaxLineLengthExceeded, EIdException);
VTL_DECLARE_EXCEPTION(EIdClosedSocket, EIdException);
VTL_DECLARE_EXCEPTION(EIdTCPConnectionError, EIdException);
VTL_DECLARE_EXCEPTION(EIdObjectTypeNotSupported, EIdTCPConnectionError);
VTL_DECLARE_EXCEPTION(EIdNoDataToRead, EIdTCPConnectionError);
VTL_DECLARE_EXCEPTION(EIdFileNotFound, EIdTCPConnectionError);
VTL_DECLARE_EXCEPTION(EIdNotConnected, EIdTCPConnectionError);
VTL_DECLARE_EXCEPTION(EIdIoHandler, EIdException);
VTL_DECLARE_EXCEPTION(EIdIoHandlerRequiresLargeStream, EIdIoHandler);

// Outbound client.
VTL_DECLARE_EXCEPTION(EIdAlreadyConnected, EIdException);
VTL_DECLARE_EXCEPTION(EIdHostRequired, EIdException);
VTL_DECLARE_EXCEPTION(EIdPortRequired, EIdException);
VTL_DECLARE_EXCEPTION(EIdConnectTimeout, EIdException);
VTL_DECLARE_EXCEPTION(EIdConnectException, EIdException);

// Threads and servers.
VTL_DECLARE_EXCEPTION(EIdThreadError, EIdException);
VTL_DECLARE_EXCEPTION(EIdThreadTerminateAndWaitFor, EIdException);
VTL_DECLARE_EXCEPTION(EIdTCPNoOnExecute, EIdException);
VTL_DECLARE_EXCEPTION(EIdSchedulerMaxThreadsExceeded, EIdException);

// Replies.
VTL_DECLARE_EXCEPTION(EIdReplyError, EIdException);
class EIdReplyRFCError : public EIdReplyError {
public:
    EIdReplyRFCError(int32_t errorCode, std::string message)
        : EIdReplyError(std::move(message)), errorCode_(errorCode) {}
    int32_t ErrorCode() const noexcept { return errorCode_; }
    const char* ClassName() const noexcept override { return "EIdReplyRFCError"; }

private:
    int32_t errorCode_;
};

// Formats a printf-style message with one text or number argument; the
// messages of this tree carry at most a few placeholders.
std::string FormatText(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
