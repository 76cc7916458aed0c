#pragma once
// Approvals of tool calls: approval_request, read_approval_request, approve, check_approval.

#include <Python.h>

namespace corvel::python::trail {

// The four functions; ends with a null entry.
extern PyMethodDef approval_functions[];

}  // namespace corvel::python::trail
