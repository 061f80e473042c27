// once.h - process-wide objects made once, on first need.
//
// The Backend and Norvane types, the two Backend members and the fault
// exception type are each made by one thread and then only read. A thread
// never waits for such a guard while it holds the interpreter lock: the
// thread doing the work may need the lock (and may give it up) while it
// works, so waiting with the lock held could deadlock. On a free-threaded
// interpreter there is no such lock, but the same calls detach the waiting
// thread from the interpreter: the thread doing the work may have to stop
// every attached thread (the cycle collector, a change to a type), and a
// thread blocked here while attached would never reach the stop.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

#include "py_ref.h"

namespace norvanes {

// lock_without_gil locks `m`. An uncontended mutex is taken at once; if
// another thread holds it, the interpreter lock is given up (the thread
// detached, without one) for the wait and taken back afterwards.
inline std::unique_lock<std::mutex> lock_without_gil(std::mutex& m) {
    std::unique_lock<std::mutex> lock(m, std::defer_lock);
    if (lock.try_lock()) {
        return lock;
    }
    struct Released {
        PyThreadState* state = PyEval_SaveThread();
        ~Released() { PyEval_RestoreThread(state); }
    } released;
    lock.lock();
    return lock;
}

// OnceCell holds a strong reference that, once stored, is kept until the
// process ends. A failed attempt leaves the cell empty, so a later call tries
// again.
class OnceCell {
public:
    // get returns the object (borrowed), or null while the cell is empty.
    PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // get_or_init returns the object (borrowed), calling `make` (which
    // returns a Ref, empty with a Python exception set on failure) if no
    // thread has filled the cell yet. Returns null with the exception set
    // when `make` fails. Exceptions thrown by `make` pass through.
    template <class Make>
    PyObject* get_or_init(Make&& make) {
        if (PyObject* v = get()) {
            return v;
        }
        std::unique_lock<std::mutex> lock = lock_without_gil(mutex_);
        if (PyObject* v = get()) {
            return v;
        }
        Ref made = make();
        if (!made) {
            return nullptr;
        }
        PyObject* v = made.release();  // owned by the cell from here on
        value_.store(v, std::memory_order_release);
        return v;
    }

    // discard empties a cell whose object must not outlive a failed
    // initialisation of the object that owns it (a Backend member made for
    // a Backend type that then failed to initialise).
    void discard() {
        std::unique_lock<std::mutex> lock = lock_without_gil(mutex_);
        Ref old = Ref::steal(value_.exchange(nullptr, std::memory_order_acq_rel));
    }

private:
    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
};

}  // namespace norvanes
