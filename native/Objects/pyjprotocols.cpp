// Objects/pyjprotocols.cpp: the protocol types that give Java iterables, iterators,
// collections, lists, maps, numbers, buffers and auto-closeables their Python
// behaviour.  Each interpreter makes its own types from the records below (see pyjtype.cpp)
// and puts them among the bases of the per-class types of the classes that extend or
// implement the Java type.
#include <Python.h>

#include "Objects/objects.h"

namespace {

// Base types only: never instantiated from Python (a record made that way would hold
// no Java object), but per-class types derive from them.
constexpr unsigned long kProtocolFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Slot autocloseable_slots[] = {
    {Py_tp_doc, const_cast<char*>("Kiv java.lang.AutoCloseable")},
    {0, nullptr}};

PyType_Slot iterator_slots[] = {
    {Py_tp_doc, const_cast<char*>("Kiv java.util.Iterator")},
    {0, nullptr}};

PyType_Slot iterable_slots[] = {
    {Py_tp_doc, const_cast<char*>("Kiv java.lang.Iterable")},
    {0, nullptr}};

PyType_Slot collection_slots[] = {
    {Py_tp_doc, const_cast<char*>("Kiv java.util.Collection")},
    {0, nullptr}};

PyType_Slot list_slots[] = {
    {Py_tp_doc, const_cast<char*>("Kiv java.util.List")},
    {0, nullptr}};

PyType_Slot map_slots[] = {
    {Py_tp_doc, const_cast<char*>("Kiv java.util.Map")},
    {0, nullptr}};

PyType_Slot number_slots[] = {
    {Py_tp_doc, const_cast<char*>("Kiv java.lang.Number")},
    {0, nullptr}};

PyType_Slot buffer_slots[] = {
    {Py_tp_doc, const_cast<char*>("Kiv java.nio.Buffer")},
    {0, nullptr}};

}  // namespace

// The interface types have no record of their own (size 0: the base's); Number and
// Buffer extend java.lang.Object and keep its record.
KIV_EXPORT PyType_Spec PyJAutoCloseable_Spec = {"java.lang.AutoCloseable", 0, 0, kProtocolFlags,
                                                autocloseable_slots};
KIV_EXPORT PyType_Spec PyJIterator_Spec = {"java.util.Iterator", 0, 0, kProtocolFlags, iterator_slots};
KIV_EXPORT PyType_Spec PyJIterable_Spec = {"java.lang.Iterable", 0, 0, kProtocolFlags, iterable_slots};
KIV_EXPORT PyType_Spec PyJCollection_Spec = {"java.util.Collection", 0, 0, kProtocolFlags, collection_slots};
KIV_EXPORT PyType_Spec PyJList_Spec = {"java.util.List", 0, 0, kProtocolFlags, list_slots};
KIV_EXPORT PyType_Spec PyJMap_Spec = {"java.util.Map", 0, 0, kProtocolFlags, map_slots};
KIV_EXPORT PyType_Spec PyJNumber_Spec = {"java.lang.Number", static_cast<int>(sizeof(PyJObject)), 0,
                                         kProtocolFlags, number_slots};
KIV_EXPORT PyType_Spec PyJBuffer_Spec = {"java.nio.Buffer", static_cast<int>(sizeof(PyJObject)), 0,
                                         kProtocolFlags, buffer_slots};
