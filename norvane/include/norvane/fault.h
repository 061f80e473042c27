// norvane/fault.h - the one exception of the project: a broken invariant.
#pragma once

#include <stdexcept>

namespace norvane {

// InternalFault is thrown only when one of the system's own invariants
// breaks; no input can cause it. The Python module turns it into its fault
// exception, the command-line tool into a message on standard error.
class InternalFault : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

}  // namespace norvane
