/* Digital I/O and a DI counter (RX5K10; the RX5K30 has the I/O without counters). */
#include <nivex.h>

int digital_io_example(void *h) {
  unsigned int di = 0, dout = 0, count = 0;
  if (!QZ_WriteDO(h, 0x5)) return 0;        /* outputs 0 and 2 on, 1 and 3 off */
  if (!QZ_WriteDOBit(h, 1, 1)) return 0;    /* output 1 on as well: 0x7 */
  if (!QZ_ReadDIO(h, &di, &dout)) return 0; /* di: the inputs' bits, dout: 0x7 */
  if (!QZ_ClearDICNT(h, 0)) return 0;       /* DI counter 0 (RX5K10: counters 0-3) from 0 */
  return QZ_GetDICNT(h, 0, &count);         /* the edges counted on input 0 since */
}
