/* An allocator for LD_PRELOAD that fails on request, one thread at a time.
 *
 * Every allocation entry point of the C library is replaced by a wrapper around glibc's own
 * implementation (the __libc_* names, which never call back into malloc, unlike dlsym). The
 * wrappers count the calls of the calling thread and, once armed on that thread, let a given
 * number succeed and then fail a given number (or all) of the following ones. Other threads
 * are never affected, so the interpreter's own threads keep working.
 *
 * The counters are initial-exec thread-locals: the library is preloaded, so they live in the
 * static TLS block, and reading them can neither allocate nor re-enter malloc, which matters
 * because the dynamic linker allocates other libraries' thread-local blocks through malloc.
 *
 * Control, through ctypes: fail_after(n, count) arms the calling thread (count < 0: fail every
 * allocation after the first n, until fail_never()); allocations() and failures() read its
 * counters. Freeing is never interposed.
 */
#include <errno.h>
#include <stddef.h>
#include <unistd.h>

extern void *__libc_malloc(size_t size);
extern void *__libc_calloc(size_t count, size_t size);
extern void *__libc_realloc(void *ptr, size_t size);
extern void *__libc_memalign(size_t alignment, size_t size);

#define THREAD_STATE static __thread __attribute__((tls_model("initial-exec")))

THREAD_STATE int armed;
THREAD_STATE long successes_left;
THREAD_STATE long failures_left; /* negative: no end */
THREAD_STATE long calls;
THREAD_STATE long failed;

void fail_after(long n, long count) {
    successes_left = n;
    failures_left = count;
    failed = 0;
    armed = 1;
}

void fail_never(void) { armed = 0; }
long allocations(void) { return calls; }
long failures(void) { return failed; }

/* Whether this allocation is to fail; sets errno as the real allocator would. */
static int refuse(void) {
    ++calls;
    if (!armed) return 0;
    if (successes_left > 0) {
        --successes_left;
        return 0;
    }
    if (failures_left == 0) return 0;
    if (failures_left > 0) --failures_left;
    ++failed;
    errno = ENOMEM;
    return 1;
}

void *malloc(size_t size) { return refuse() ? NULL : __libc_malloc(size); }

void *calloc(size_t count, size_t size) { return refuse() ? NULL : __libc_calloc(count, size); }

void *realloc(void *ptr, size_t size) {
    /* realloc(p, 0) frees; refusing it would only leak. */
    if (ptr != NULL && size == 0) return __libc_realloc(ptr, size);
    return refuse() ? NULL : __libc_realloc(ptr, size);
}

void *memalign(size_t alignment, size_t size) { return refuse() ? NULL : __libc_memalign(alignment, size); }

void *aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void **out, size_t alignment, size_t size) {
    if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0) return EINVAL;
    const int saved = errno;
    void *p = memalign(alignment, size);
    if (p == NULL) {
        errno = saved;
        return ENOMEM;
    }
    *out = p;
    return 0;
}

void *valloc(size_t size) { return memalign((size_t)sysconf(_SC_PAGESIZE), size); }

