// A shared library that is no COM server: it exports no DllGetClassObject of its own,
// but depends on the test server, whose export dlsym would find through it.
#include "nxpal/com.h"

NX_EXTERN_C LONG ComTestServerObjects();

NX_EXTERN_C NX_EXPORT LONG ComTestNoExportObjects() { return ComTestServerObjects(); }
