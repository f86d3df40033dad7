// The catch order of every outer edge (load entry point, runtime callback, thread procedure, host
// service procedure): nothing raised inside may leave it, and each failure is logged once here.
#pragma once

#include <exception>
#include <type_traits>

#include "Platform/Com.h"
#include "Platform/Types.h"
#include "Util/Log.h"

// Failure statuses the edges return.
constexpr HRESULT EDGE_E_CALLBACK = E_FAIL;               // runtime callbacks
constexpr HRESULT EDGE_E_LOAD = MakeHResult(0x80000000);  // load entry points

// Runs fn; returns true when it completed, false when it raised (the failure is then logged).
template <class Fn>
bool LogEdgeFailure(Fn&& fn) noexcept {
    try {
        fn();
        return true;
    } catch (const _com_error& e) {
        Log::LogComError(e);
    } catch (const std::exception& e) {
        Log::LogException(e);
    } catch (...) {
        Log::LogUnknownException();
    }
    return false;
}

// Runs fn and returns its status (S_OK for a fn returning nothing), or failureStatus after logging
// whatever it raised.
template <class Fn>
HRESULT CatchAtEdge(Fn&& fn, HRESULT failureStatus) noexcept {
    HRESULT status = failureStatus;
    bool completed = LogEdgeFailure([&] {
        if constexpr (std::is_void_v<std::invoke_result_t<Fn&>>) {
            fn();
            status = S_OK;
        } else {
            status = static_cast<HRESULT>(fn());
        }
    });
    return completed ? status : failureStatus;
}
