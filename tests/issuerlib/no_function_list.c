/* A shared library that is not a PKCS#11 module: it exports no C_GetFunctionList. */
int qel_test_unrelated_symbol(void) { return 1; }
