/* UNFINISHED placeholder so that users of the header can link; every call
 * fails. Replaced by the real implementation in the next commits. */
#include <errno.h>
#include <string.h>

#include <shm_channel/shm_channel.h>

void shm_config_init(shm_config *cfg) {
  memset(cfg, 0, sizeof *cfg);
  cfg->name = SHM_DEFAULT_NAME;
  cfg->timeout_us = SHM_DEFAULT_TIMEOUT_US;
  cfg->size = SHM_DEFAULT_SIZE;
  cfg->chunk = SHM_DEFAULT_CHUNK;
}
shm_endpoint *shm_srv_start(const shm_config *cfg) { (void)cfg; return NULL; }
shm_endpoint *shm_cli_start(const shm_config *cfg) { (void)cfg; return NULL; }
int shm_stop(shm_endpoint *ep) { (void)ep; return -EINVAL; }
ssize_t shm_write(shm_endpoint *ep, const void *d, size_t n) { (void)ep; (void)d; (void)n; return -EINVAL; }
ssize_t shm_read(shm_endpoint *ep, void *b, size_t n) { (void)ep; (void)b; (void)n; return -EINVAL; }
const char *shm_strerror(int code) { return strerror(-code); }
void shm_log_set_handler(shm_log_handler_fn h, int e, int i, int d) { (void)h; (void)e; (void)i; (void)d; }
void shm_log_set_debug(int enabled) { (void)enabled; }
