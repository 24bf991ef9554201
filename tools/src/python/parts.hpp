// The parts of quillmere_tools._native, one per source file; module.cpp adds them in order.
#pragma once

#include <Python.h>

namespace quillmere_tools::python {

int add_channel_functions(PyObject* module);      // channel_functions.cpp
int add_segment_type(PyObject* module);           // segment_type.cpp
int add_wait_functions(PyObject* module);         // wait_functions.cpp
int add_doorbell_type(PyObject* module);          // doorbell_type.cpp
int add_follower_type(PyObject* module);          // follower_type.cpp
int add_wait_shard_type(PyObject* module);        // wait_shard_type.cpp
int add_frame_functions(PyObject* module);        // frame_functions.cpp
int add_bridge_functions(PyObject* module);       // bridge_functions.cpp
int add_batch_functions(PyObject* module);        // batch_functions.cpp
int add_batch_follower_type(PyObject* module);    // batch_follower_type.cpp
int add_interpreter_exit_note(PyObject* module);  // interpreter_exit.cpp
int add_timed_writes_type(PyObject* module);      // timed_writes_type.cpp

}  // namespace quillmere_tools::python
