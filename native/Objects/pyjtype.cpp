// Objects/pyjtype.cpp: PyJType, the metatype of the Python types made for Java classes.
#include "Objects/objects.h"
#include "embed/embed.h"

namespace {

PyType_Slot pyjtype_slots[] = {
    {0, nullptr}};

}  // namespace

KIV_EXPORT PyType_Spec PyJType_Spec = {
    "PyJType",
    0,
    0,
    Py_TPFLAGS_DEFAULT,
    pyjtype_slots,
};
