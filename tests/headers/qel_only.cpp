// The same sources compiled as C++.
#include "qel_only.c"
