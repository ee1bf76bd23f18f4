// embed/modulefuncs.h: the functions of the _kiv module.
#pragma once

#include <Python.h>

PyObject* kiv_findClass(PyObject* self, PyObject* args);
PyObject* kiv_forName(PyObject* self, PyObject* args);
PyObject* kiv_jarray(PyObject* self, PyObject* args);
PyObject* kiv_jproxy(PyObject* self, PyObject* args);
PyObject* kiv_setJavaToPythonConverter(PyObject* self, PyObject* args);
