#pragma once
// What an action fails with, for tables of expected errors.

#include <functional>
#include <optional>
#include <string>

#include "KoExceptions.h"

namespace kotest {

struct TFailure {
    std::wstring Class, Message;
};

// The class name and message of the EKoError Action raises; nothing when it succeeds. Any other
// exception passes.
inline std::optional<TFailure> FailureOf(const std::function<void()>& Action) {
    try {
        Action();
    } catch (const EKoError& E) {
        return TFailure{E.ClassName(), E.Message()};
    }
    return std::nullopt;
}

} // namespace kotest
