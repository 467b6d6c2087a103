/* settings: the agent's version strings as a Python extension module.
 *
 * Multi-phase initialisation, so the body runs after the import machinery has
 * given the module its ModuleSpec and file: the body needs the extension's own
 * directory, and the module takes its name from the importer, which makes it
 * work both at top level and inside a package. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* SETTINGS_VERSION and SETTINGS_BUILD, generated from the project version. */
#include "settings_version.h"

/* The directory of the loaded extension joined with "settings.py". */
static PyObject* source_path(PyObject* module) {
    PyObject* file = PyObject_GetAttrString(module, "__file__");
    if (!file) {
        return NULL;
    }
    PyObject* os_path = PyImport_ImportModule("os.path");
    if (!os_path) {
        Py_DECREF(file);
        return NULL;
    }
    PyObject* dir = PyObject_CallMethod(os_path, "dirname", "O", file);
    PyObject* joined = dir ? PyObject_CallMethod(os_path, "join", "Os", dir, "settings.py") : NULL;
    Py_XDECREF(dir);
    Py_DECREF(os_path);
    Py_DECREF(file);
    return joined;
}

static int set_location(PyObject* module) {
    PyObject* path = source_path(module);
    if (!path) {
        return -1;
    }
    int rc = -1;
    PyObject* spec = NULL;
    if (PyObject_SetAttrString(module, "__doc__", Py_None) < 0 ||
        PyObject_SetAttrString(module, "__file__", path) < 0) {
        goto out;
    }
    spec = PyObject_GetAttrString(module, "__spec__");
    if (!spec) {
        goto out;
    }
    if (spec != Py_None && (PyObject_SetAttrString(spec, "origin", path) < 0 ||
                            PyObject_SetAttrString(spec, "has_location", Py_True) < 0)) {
        goto out;
    }
    if (PyObject_SetAttrString(module, "__cached__", Py_None) < 0) {
        goto out;
    }
    rc = 0;
out:
    Py_XDECREF(spec);
    Py_DECREF(path);
    return rc;
}

static int import_unicode_literals(PyObject* module) {
    PyObject* future = PyImport_ImportModule("__future__");
    if (!future) {
        return -1;
    }
    PyObject* feature = PyObject_GetAttrString(future, "unicode_literals");
    Py_DECREF(future);
    if (!feature) {
        return -1;
    }
    int rc = PyModule_AddObjectRef(module, "unicode_literals", feature);
    Py_DECREF(feature);
    return rc;
}

static int settings_exec(PyObject* module) {
    if (set_location(module) < 0 || import_unicode_literals(module) < 0) {
        return -1;
    }
    if (PyModule_AddStringConstant(module, "VERSION", SETTINGS_VERSION) < 0 ||
        PyModule_AddStringConstant(module, "BUILD", SETTINGS_BUILD) < 0 ||
        PyModule_AddStringConstant(module, "VERSION_DISPLAY", SETTINGS_VERSION "." SETTINGS_BUILD) < 0) {
        return -1;
    }
    return 0;
}

static PyModuleDef_Slot settings_slots[] = {
    {Py_mod_exec, (void*)settings_exec},
    {0, NULL},
};

static struct PyModuleDef settings_module = {
    PyModuleDef_HEAD_INIT, .m_name = "settings", .m_doc = NULL, .m_size = 0, .m_slots = settings_slots,
};

PyMODINIT_FUNC PyInit_settings(void) {
    return PyModuleDef_Init(&settings_module);
}
