/* Preloaded into Debian's 32-bit Wine loader when it runs under qemu-i386 (tools/wine32/wine).
 *
 * Debian ships that loader without its preloader, so ntdll would reserve its address ranges
 * by trial, and qemu takes the "fixed, no replace" requests of that trial as hints: every
 * process start then costs tens of thousands of mmap calls. This library makes the
 * reservations the preloader makes, around what qemu has already mapped, and hands them to
 * ntdll through wine_main_preload_info, the loader's own variable for them.
 *
 * qemu also reports trap number -1 in the signal context, which makes Wine take every access
 * violation for an illegal instruction, and every integer division by zero for a floating-point
 * invalid operation (c0000090); the sigaction wrapper below puts the number back.
 *
 * And qemu keeps one table of thread-local descriptors for all the threads of a process,
 * where the system keeps one per thread: a thread that starts sets the descriptor that every
 * thread's %fs (the TEB) and %gs (the C library's thread block) select. A thread keeps the
 * base it loaded until it loads the selector again, which Wine's signal handlers do on entry
 * and the return from every signal does: the thread then has the newest thread's TEB, a freed
 * one once that thread has ended, and Wine's handler faults on it (tools/controls/
 * thread_end_suspend). So the wrapper first writes this thread's own bases, which it still
 * has, back into those descriptors.
 *
 * Built with -nostdlib against the unpacked i386 libc: this machine has no 32-bit headers,
 * so the few declarations it needs are written out here. */

typedef unsigned int size_t;
typedef unsigned long uintptr_t;

void *mmap(void *addr, size_t length, int prot, int flags, int fd, long offset);
int munmap(void *addr, size_t length);
int open(const char *path, int flags, ...);
int read(int fd, void *buf, size_t count);
int close(int fd);
int unsetenv(const char *name);
void *dlsym(void *handle, const char *name);

#define PROT_NONE 0
#define MAP_PRIVATE 0x02
#define MAP_ANONYMOUS 0x20
#define MAP_NORESERVE 0x4000
#define MAP_FIXED_NOREPLACE 0x100000
#define MAP_FAILED ((void *)-1)
#define RTLD_NEXT ((void *)-1)
#define SIGFPE 8
#define SIGSEGV 11
#define FPE_INTDIV 1
#define FPE_INTOVF 2
#define SI_KERNEL 0x80
#define SA_SIGINFO 4

/* The loader's variable (weak: other programs do not have it). */
struct wine_preload_info {
    void *addr;
    size_t size;
};
extern struct wine_preload_info *wine_main_preload_info __attribute__((weak));

/* The preloader's ranges: everything below the loader's usual home, and the top of the space
 * (top-down allocations, the shared user data, the heaps). */
static const uintptr_t ranges[][2] = {
    {0x00010000, 0x68000000},
    {0x7f000000, 0xffff0000},
};

#define MAX_AREAS 64
static struct wine_preload_info areas[MAX_AREAS + 1];
static int area_count;

static char maps[65536];

static uintptr_t parse_hex(const char **pp) {
    uintptr_t v = 0;
    for (;; ++*pp) {
        char c = **pp;
        if (c >= '0' && c <= '9') v = v * 16 + (uintptr_t)(c - '0');
        else if (c >= 'a' && c <= 'f') v = v * 16 + (uintptr_t)(c - 'a' + 10);
        else return v;
    }
}

static void reserve(uintptr_t lo, uintptr_t hi) {
    if (hi <= lo || area_count == MAX_AREAS) return;
    void *p = mmap((void *)lo, hi - lo, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
    if (p == MAP_FAILED) return;
    if (p != (void *)lo) { /* taken as a hint and placed elsewhere: not ours to keep */
        munmap(p, hi - lo);
        return;
    }
    areas[area_count].addr = p;
    areas[area_count].size = hi - lo;
    area_count++;
}

/* Reserves the free parts of [lo, hi) between the mappings listed in maps (sorted). */
static void reserve_gaps(uintptr_t lo, uintptr_t hi) {
    uintptr_t next = lo;
    const char *p = maps;
    while (*p) {
        uintptr_t start = parse_hex(&p);
        if (*p != '-') break;
        ++p;
        uintptr_t end = parse_hex(&p);
        while (*p && *p != '\n') ++p;
        if (*p) ++p;
        if (end <= next) continue;
        if (start >= hi) break;
        if (start > next) reserve(next, start);
        next = end;
    }
    if (next < hi) reserve(next, hi);
}

__attribute__((constructor)) static void init(void) {
    /* Native programs that Wine starts must not inherit this library. */
    unsetenv("LD_PRELOAD");
    if (!&wine_main_preload_info) return;
    int fd = open("/proc/self/maps", 0);
    if (fd < 0) return;
    size_t used = 0;
    int n;
    while (used < sizeof maps - 1 && (n = read(fd, maps + used, sizeof maps - 1 - used)) > 0) used += (size_t)n;
    close(fd);
    maps[used] = 0;
    for (unsigned i = 0; i < sizeof ranges / sizeof ranges[0]; i++) reserve_gaps(ranges[i][0], ranges[i][1]);
    wine_main_preload_info = areas;
}

/* i386 kernel layout of what the handler receives. */
struct siginfo {
    int si_signo, si_errno, si_code;
};
#define CONTEXT_TRAPNO(uc) (((int *)(uc))[5 + 12]) /* uc_mcontext.gregs[REG_TRAPNO] */
#define TRAP_DIVIDE 0
#define TRAP_GPF 13
#define TRAP_PAGEFAULT 14
#define NSIG 65

struct sigaction_s {
    void (*handler)(int, struct siginfo *, void *);
    unsigned long mask[32];
    int flags;
    void (*restorer)(void);
};

struct user_desc {
    unsigned int entry_number, base_addr, limit, flags;
};
#define SYS_set_thread_area 243
#define SYS_get_thread_area 244
#define GDT_TLS_FIRST 6
#define GDT_TLS_LAST 8

/* Made directly: the C library's syscall() would set errno through a %gs not yet mended. */
static long syscall1(long number, void *arg) {
    long result;
    __asm__ volatile("int $0x80" : "=a"(result) : "a"(number), "b"(arg) : "memory");
    return result;
}

/* Writes base into the thread-local descriptor selector sel selects, when it is one. */
static void own_descriptor(unsigned int sel, unsigned int base) {
    if ((sel & 4) || (sel >> 3) < GDT_TLS_FIRST || (sel >> 3) > GDT_TLS_LAST) return;
    struct user_desc desc = {sel >> 3, 0, 0, 0};
    if (syscall1(SYS_get_thread_area, &desc) != 0 || desc.base_addr == base) return;
    desc.base_addr = base;
    syscall1(SYS_set_thread_area, &desc);
}

/* Both blocks start with their own address: the TEB's at 0x18, the C library's at 0. */
static void own_descriptors(void) {
    unsigned int sel, base;
    __asm__ volatile("movl %%fs,%0" : "=r"(sel));
    if (sel) {
        __asm__ volatile("movl %%fs:0x18,%0" : "=r"(base));
        own_descriptor(sel, base);
    }
    __asm__ volatile("movl %%gs,%0" : "=r"(sel));
    if (sel) {
        __asm__ volatile("movl %%gs:0,%0" : "=r"(base));
        own_descriptor(sel, base);
    }
}

typedef int sigaction_fn(int, const struct sigaction_s *, struct sigaction_s *);
typedef void handler_fn(int, struct siginfo *, void *);
static handler_fn *handlers[NSIG];

static void wrapper(int sig, struct siginfo *info, void *context) {
    own_descriptors();
    if (CONTEXT_TRAPNO(context) == -1) {
        if (sig == SIGSEGV) CONTEXT_TRAPNO(context) = info->si_code == SI_KERNEL ? TRAP_GPF : TRAP_PAGEFAULT;
        else if (sig == SIGFPE && (info->si_code == FPE_INTDIV || info->si_code == FPE_INTOVF))
            CONTEXT_TRAPNO(context) = TRAP_DIVIDE;
    }
    handlers[sig](sig, info, context);
}

int sigaction(int sig, const struct sigaction_s *act, struct sigaction_s *old) {
    static sigaction_fn *real;
    if (!real) real = (sigaction_fn *)dlsym(RTLD_NEXT, "sigaction");
    if (sig <= 0 || sig >= NSIG || !act || !(act->flags & SA_SIGINFO)) return real(sig, act, old);
    handler_fn *previous = handlers[sig];
    struct sigaction_s wrapped = *act;
    handlers[sig] = act->handler;
    wrapped.handler = wrapper;
    int result = real(sig, &wrapped, old);
    if (result != 0) handlers[sig] = previous;
    else if (old && old->handler == wrapper) old->handler = previous;
    return result;
}
