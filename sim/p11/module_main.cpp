// The module is the core library linked whole; this unit only anchors the shared library target.
#include "sim/p11/qelsim_pkcs11.h"
