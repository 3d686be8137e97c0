/* nbdkit-zelkovd-plugin: the disk the driver presents to Windows, served over NBD. The driver
 * runs in the host kernel inside the nbdkit process; every NBD request becomes the SCSI command
 * the disk class driver would send (zelkovd_disk.cpp). nbdkit speaks the protocol. */
#define NBDKIT_API_VERSION 2
#include <nbdkit-plugin.h>

#include <errno.h>
#include <stdint.h>

#include "zelkovd_disk.h"

#define THREAD_MODEL NBDKIT_THREAD_MODEL_PARALLEL

static int loaded;

static int zv_config(const char *key, const char *value) {
  int e = zvd_config(key, value);
  if (e == ENOENT) {
    nbdkit_error("unknown parameter '%s'", key);
    return -1;
  }
  if (e) {
    nbdkit_error("%s: %s", key, zvd_error());
    return -1;
  }
  return 0;
}

/* After nbdkit forked into the background (or not): the host kernel's threads must live in the
 * serving process. */
static int zv_after_fork(void) {
  int e = zvd_start();
  loaded = 1;   /* even a failed start leaves a driver to unload */
  if (e) {
    nbdkit_error("%s", zvd_error());
    return -1;
  }
  return 0;
}

static void zv_cleanup(void) {
  if (loaded) zvd_stop();
  loaded = 0;
}

static void *zv_open(int readonly) {
  static int handle;
  (void)readonly;
  return &handle;
}

static int64_t zv_get_size(void *h) {
  (void)h;
  return (int64_t)zvd_size();
}

static int zv_block_size(void *h, uint32_t *minimum, uint32_t *preferred, uint32_t *maximum) {
  (void)h;
  *minimum = 512;
  *preferred = 4096;
  *maximum = 0xFFFFFFFF;
  return 0;
}

static int zv_can_write(void *h) {
  (void)h;
  return zvd_writable();
}
static int zv_can_flush(void *h) {
  (void)h;
  return 1;
}
static int zv_can_fua(void *h) {
  (void)h;
  return NBDKIT_FUA_NATIVE;
}
static int zv_can_zero(void *h) {
  (void)h;
  return zvd_writable();
}
/* One driver serves every connection: a flush on one covers the writes of all. */
static int zv_can_multi_conn(void *h) {
  (void)h;
  return 1;
}

static int fail(int e) {
  nbdkit_error("%s", zvd_error());
  errno = e;
  return -1;
}

static int zv_pread(void *h, void *buf, uint32_t count, uint64_t offset, uint32_t flags) {
  (void)h;
  (void)flags;
  int e = zvd_pread(buf, count, offset);
  return e ? fail(e) : 0;
}

static int zv_pwrite(void *h, const void *buf, uint32_t count, uint64_t offset, uint32_t flags) {
  (void)h;
  int e = zvd_pwrite(buf, count, offset, (flags & NBDKIT_FLAG_FUA) != 0);
  return e ? fail(e) : 0;
}

static int zv_flush(void *h, uint32_t flags) {
  (void)h;
  (void)flags;
  int e = zvd_flush();
  return e ? fail(e) : 0;
}

static int zv_zero(void *h, uint32_t count, uint64_t offset, uint32_t flags) {
  (void)h;
  int e = zvd_zero(count, offset, (flags & NBDKIT_FLAG_FUA) != 0);
  return e ? fail(e) : 0;
}

static struct nbdkit_plugin plugin = {
  .name = "zelkovd",
  .longname = "the Zelko virtual disk driver, on the host kernel",
  .version = "1.0.0",
  .description = "Serves the disk the driver presents (LUN 0 or an image-file LUN) over NBD.",
  .config = zv_config,
  .config_help =
    "param=NAME=VALUE, hive=FILE, boot-info=HEX|@FILE, c-dir=DIR, object='\\??\\NAME=PATH',\n"
    "caller=admin|user, log-level=N   as for zelkovd-host machine\n"
    "lun=N                the LUN to serve (default 0)\n"
    "server=IP:PORT iqn=IQN [token=TOKEN] [client-id=ID]\n"
    "                     activate LUN 0 through the control device (auto-activation off);\n"
    "                     a token asks for super-user mode\n"
    "read-only=yes|no     ask the server for a read-only session (with server=)\n"
    "commit=yes|no        leave super-user mode at exit, merging (yes) or dropping (no) the writes\n"
    "activation-timeout=SECONDS   how long to wait for the disk (default 60)",
  .after_fork = zv_after_fork,
  .cleanup = zv_cleanup,
  .open = zv_open,
  .get_size = zv_get_size,
  .block_size = zv_block_size,
  .can_write = zv_can_write,
  .can_flush = zv_can_flush,
  .can_fua = zv_can_fua,
  .can_zero = zv_can_zero,
  .can_multi_conn = zv_can_multi_conn,
  .pread = zv_pread,
  .pwrite = zv_pwrite,
  .flush = zv_flush,
  .zero = zv_zero,
};

NBDKIT_REGISTER_PLUGIN(plugin)
