#pragma once

#include "pgulo/PGException.h"
#include "pgulo/host/EvDebug.h"
#include "pgulo/host/KxException.h"

#include <exception>
#include <utility>

// The one catch-and-log guard around every operation. Each level a failure crosses
// logs one "eRRoR -- " line under its own label.
class PGGuard {
public:
    // Internal operations: log, then pass the failure on. An exception of no known kind
    // becomes PGException(label, PG_EXCEPTION_UNKNOWN, nullptr).
    template <class Body>
    static auto Rethrow(EvDebug& log, const char* label, Body&& body) -> decltype(body()) {
        try {
            return std::forward<Body>(body)();
        } catch (const std::exception& e) {
            log.Error(label, "eRRoR -- %s", e.what());
            throw;
        } catch (const KxException& e) {
            log.Error(label, "eRRoR -- KxException: %s", e.getMessage());
            throw;
        } catch (...) {
            log.Error(label, "eRRoR -- UnHandled exception");
            throw PGException(label, PG_EXCEPTION_UNKNOWN, nullptr);
        }
    }

    // Operations the host calls directly: log, then return the failure value.
    template <class Result, class Body>
    static Result OrReturn(EvDebug& log, const char* label, Result failure, Body&& body) {
        try {
            return std::forward<Body>(body)();
        } catch (const std::exception& e) {
            log.Error(label, "eRRoR -- %s", e.what());
        } catch (const KxException& e) {
            log.Error(label, "eRRoR -- KxException: %s", e.getMessage());
        } catch (...) {
            log.Error(label, "eRRoR -- UnHandled exception");
        }
        return failure;
    }

    // Destructors: log, and nothing leaves.
    template <class Body>
    static void Quietly(EvDebug& log, const char* label, Body&& body) noexcept {
        try {
            std::forward<Body>(body)();
        } catch (const std::exception& e) {
            log.Error(label, "eRRoR -- %s", e.what());
        } catch (const KxException& e) {
            log.Error(label, "eRRoR -- KxException: %s", e.getMessage());
        } catch (...) {
            log.Error(label, "eRRoR -- UnHandled exception");
        }
    }
};
