// Status and Result<T>: how expected failures are reported inside VOXA.
//
// An expected failure (a file missing, a bad line, a refused path, a server
// that does not answer) is a Status with a code and a message fit for a
// person; success is Status::Ok(). A function that produces a value on
// success returns Result<T>, which holds either the value or the failure.
// Bugs and broken invariants are not Statuses: they stop loudly.
//
//   Result<ZbTree> LoadTree(const std::string& path);
//   Status Render(...) {
//       VOXA_ASSIGN_OR_RETURN(ZbTree tree, LoadTree(path));
//       VOXA_TRY(Check(tree));
//       return Status::Ok();
//   }
//
// The integer results that the system's interfaces define (0/1 success,
// negative codes) stay integers at those interfaces; Status lives inside.
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace voxa {

enum class StatusCode {
    kOk = 0,
    kInvalidArgument,  // bad input: a malformed file, line, option or value
    kNotFound,         // a file, table, row or object that is not there
    kIoError,          // reading or writing failed
    kRefused,          // not allowed: outside the data roots, too large, busy
    kUnavailable,      // a server or connection that does not answer
    kFailed,           // anything else that went wrong as it may
};

// Short lower-case name of a code ("invalid argument", ...).
const char* StatusCodeName(StatusCode code);

class [[nodiscard]] Status {
public:
    Status() = default;  // ok
    Status(StatusCode code, std::string message) : m_code(code), m_message(std::move(message)) {}

    static Status Ok() { return Status(); }

    bool ok() const { return m_code == StatusCode::kOk; }
    StatusCode code() const { return m_code; }
    const std::string& message() const { return m_message; }

    // The same failure with "context: " in front of its message.
    Status Prefixed(const std::string& context) const;

private:
    StatusCode m_code = StatusCode::kOk;
    std::string m_message;
};

inline Status InvalidArgument(std::string message) {
    return Status(StatusCode::kInvalidArgument, std::move(message));
}
inline Status NotFound(std::string message) { return Status(StatusCode::kNotFound, std::move(message)); }
inline Status IoError(std::string message) { return Status(StatusCode::kIoError, std::move(message)); }
inline Status Refused(std::string message) { return Status(StatusCode::kRefused, std::move(message)); }
inline Status Unavailable(std::string message) {
    return Status(StatusCode::kUnavailable, std::move(message));
}
inline Status Failed(std::string message) { return Status(StatusCode::kFailed, std::move(message)); }

// A value or the Status of why there is none.
template <typename T>
class [[nodiscard]] Result {
public:
    Result(T value) : m_data(std::move(value)) {}  // NOLINT: implicit by design
    Result(Status status) : m_data(std::move(status)) {  // NOLINT: implicit by design
        assert(!std::get<Status>(m_data).ok() && "a Result holding no value must hold a failure");
    }

    bool ok() const { return std::holds_alternative<T>(m_data); }
    // The failure; Status::Ok() when there is a value.
    Status status() const { return ok() ? Status::Ok() : std::get<Status>(m_data); }

    T& value() & { return std::get<T>(m_data); }
    const T& value() const& { return std::get<T>(m_data); }
    T&& value() && { return std::get<T>(std::move(m_data)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

private:
    std::variant<T, Status> m_data;
};

namespace internal {
inline Status ToStatus(Status status) { return status; }
template <typename T>
Status ToStatus(const Result<T>& result) {
    return result.status();
}
}  // namespace internal

}  // namespace voxa

#define VOXA_STATUS_CONCAT_INNER(a, b) a##b
#define VOXA_STATUS_CONCAT(a, b) VOXA_STATUS_CONCAT_INNER(a, b)

// Returns the failure of a Status or Result expression from the enclosing
// function (which returns Status or Result<U>).
#define VOXA_TRY(expr)                                                       \
    do {                                                                     \
        ::voxa::Status voxa_try_status_ = ::voxa::internal::ToStatus(expr); \
        if (!voxa_try_status_.ok()) return voxa_try_status_;                 \
    } while (0)

// Declares lhs from a Result expression's value, or returns its failure.
#define VOXA_ASSIGN_OR_RETURN(lhs, expr)                                          \
    auto VOXA_STATUS_CONCAT(voxa_result_, __LINE__) = (expr);                     \
    if (!VOXA_STATUS_CONCAT(voxa_result_, __LINE__).ok())                         \
        return VOXA_STATUS_CONCAT(voxa_result_, __LINE__).status();               \
    lhs = std::move(VOXA_STATUS_CONCAT(voxa_result_, __LINE__)).value()
