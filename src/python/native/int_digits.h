// Decimal digits of a Python int of any size, whatever the process's
// int -> str digit limit, in time that grows as the multiplication of the
// decimal module does (n log n), not with the square of the digits: the
// int is split in halves by bits, each half converted, and the two joined
// by one exact decimal multiplication, as the interpreter's own int -> str
// does since 3.12. Signals are checked between steps, so Ctrl-C stops a
// conversion of millions of digits within a step.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string>

namespace quorl::native {

// Appends the digits of `value` (an int or a subclass, read as the int it
// holds; '-' first when negative) of `bits` bits to out. Runs Python code
// (the decimal module's import, signal handlers). False with an exception
// set: KeyboardInterrupt or another from a signal handler, MemoryError.
bool append_int_digits(PyObject* value, std::size_t bits, std::string& out);

}  // namespace quorl::native
