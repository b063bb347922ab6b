/* <zoetra/zoetra.h>: the C interface, as hosts include it. The declarations
 * live in component/zoetra.h, which hosts of earlier versions include. */
#ifndef ZOETRA_ZOETRA_H_
#define ZOETRA_ZOETRA_H_

#include "component/zoetra.h"

#endif /* ZOETRA_ZOETRA_H_ */
