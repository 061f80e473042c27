// hold.h - shared, read-only holds on Backend and Norvane instances.
//
// Each instance carries a counter of the callers that use it right now.
// Every method and slot takes a shared hold for the length of the call; -1
// would mark an exclusive hold, which nothing in the module ever takes, so
// a shared hold never has to wait or fail.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "norvane/fault.h"

namespace norvanes {

using HoldCounter = std::atomic<std::intptr_t>;

class SharedHold {
public:
    explicit SharedHold(HoldCounter& counter) : counter_(&counter) {
        if (counter.fetch_add(1, std::memory_order_acquire) < 0) {
            counter.fetch_sub(1, std::memory_order_release);
            throw norvane::InternalFault("shared hold requested on an exclusively held object");
        }
    }
    SharedHold(SharedHold&& other) noexcept : counter_(std::exchange(other.counter_, nullptr)) {}
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;
    SharedHold& operator=(SharedHold&&) = delete;
    ~SharedHold() {
        if (counter_ != nullptr) {
            counter_->fetch_sub(1, std::memory_order_release);
        }
    }

private:
    HoldCounter* counter_;
};

}  // namespace norvanes
