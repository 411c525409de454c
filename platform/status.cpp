#include "platform/status.h"

namespace voxa {

const char* StatusCodeName(StatusCode code) {
    switch (code) {
        case StatusCode::kOk: return "ok";
        case StatusCode::kInvalidArgument: return "invalid argument";
        case StatusCode::kNotFound: return "not found";
        case StatusCode::kIoError: return "i/o error";
        case StatusCode::kRefused: return "refused";
        case StatusCode::kUnavailable: return "unavailable";
        case StatusCode::kFailed: return "failed";
    }
    return "unknown";
}

Status Status::Prefixed(const std::string& context) const {
    if (ok()) return *this;
    return Status(m_code, context + ": " + m_message);
}

}  // namespace voxa
