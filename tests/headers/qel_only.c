/* qel.h alone, with nothing included before it. */
#include "qel.h"

int qel_header_compiles(void);
int qel_header_compiles(void) {
    return QEL_API_VERSION == 0x0102 && QEL_ENOBUFS == 10055;
}
