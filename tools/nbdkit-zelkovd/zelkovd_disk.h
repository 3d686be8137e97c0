/* The driver's disk for the nbdkit plugin: a C interface, so that plugin.c (compiled as nbdkit
 * expects, with the C library's wchar_t) never sees the host kernel's headers (16-bit wchar_t).
 * Every function returning int returns 0 on success or an errno value; zvd_error() then says why
 * (per thread). */
#ifndef ZELKOVD_DISK_H
#define ZELKOVD_DISK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One key=value of the command line: 0 taken, ENOENT not ours, EINVAL bad value. */
int zvd_config(const char *key, const char *value);
/* Loads the driver, activates LUN 0 through the control device when server= and iqn= were given,
 * waits until the LUN answers READ CAPACITY(16) with a size, and asks MODE SENSE whether it is
 * write-protected. */
int zvd_start(void);
uint64_t zvd_size(void);
int zvd_writable(void);
int zvd_pread(void *buf, uint32_t count, uint64_t offset);
int zvd_pwrite(const void *buf, uint32_t count, uint64_t offset, int fua);
int zvd_flush(void);
int zvd_zero(uint32_t count, uint64_t offset, int fua);
/* Leaves super-user mode when commit= asked for it, unloads the driver and prints what it
 * leaked; returns the number of findings. */
int zvd_stop(void);
const char *zvd_error(void);

#ifdef __cplusplus
}
#endif
#endif
