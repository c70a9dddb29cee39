#pragma once
// The public PKCS#11 2.40 definitions as p11-kit ships them.
#include <p11-kit/pkcs11.h>
