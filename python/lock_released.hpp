// LockReleased: lets other Python threads run while the codec works.
//
// Construct it only after every Python object the work needs has been read
// into plain C++ values: no Python API may be called while it lives. The
// interpreter lock is taken back on every exit, an exception's included.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantoresk::py {

class LockReleased {
public:
    LockReleased() : state_(PyEval_SaveThread()) {}
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;
    ~LockReleased() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

}  // namespace vantoresk::py
