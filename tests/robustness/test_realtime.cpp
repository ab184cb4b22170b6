// The audio-thread callbacks (run and connect_port) must never allocate,
// free, lock or enter the kernel: any of those can block for an unbounded
// time on a real-time thread.
//
// Allocation and locking: this executable defines the allocator, every form
// of operator new/delete and the pthread lock functions itself. The module is
// dlopened, so its calls bind to these definitions ahead of libc's; each one
// counts the call while the thread-local "in a callback" flag is set and
// then forwards to glibc.
//
// System calls: a forked child installs a seccomp filter that traps every
// system call except the one write that reports the result and exit, then
// drives the module. Nothing but the driver and the module runs in the child
// after that point, so a trapped call is theirs (and the driver makes none:
// its buffers, instances and schedule are all set up beforehand).
//
// Not built with the sanitizers: AddressSanitizer supplies the allocator
// itself and the two cannot both be interposed.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "plugin_loader.h"
#include "test_support.h"

// ---------------------------------------------------------------------------
// Interposed allocator and locks.

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t n, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* p);
}

namespace {

thread_local bool t_inCallback = false;
std::atomic<long> g_allocs{0};
std::atomic<long> g_frees{0};
std::atomic<long> g_locks{0};

inline void countAlloc() {
  if (t_inCallback) {
    g_allocs.fetch_add(1, std::memory_order_relaxed);
  }
}
inline void countFree() {
  if (t_inCallback) {
    g_frees.fetch_add(1, std::memory_order_relaxed);
  }
}
inline void countLock() {
  if (t_inCallback) {
    g_locks.fetch_add(1, std::memory_order_relaxed);
  }
}

void* alignedOrNull(std::size_t alignment, std::size_t size) {
  return __libc_memalign(alignment, size);
}

void* newOrAbort(std::size_t size) {
  void* p = __libc_malloc(size == 0 ? 1 : size);
  if (p == nullptr) {
    std::abort();  // built without exceptions: nothing to throw
  }
  return p;
}

void* alignedNewOrAbort(std::size_t size, std::align_val_t al) {
  void* p = __libc_memalign(static_cast<std::size_t>(al), size == 0 ? 1 : size);
  if (p == nullptr) {
    std::abort();
  }
  return p;
}

// The real lock functions, looked up once at start-up (before any counting).
template <typename F>
F nextSymbol(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
using MutexFn = int (*)(pthread_mutex_t*);
using MutexTimedFn = int (*)(pthread_mutex_t*, const struct timespec*);
using RwFn = int (*)(pthread_rwlock_t*);
using SpinFn = int (*)(pthread_spinlock_t*);
using SemFn = int (*)(sem_t*);
struct RealLocks {
  MutexFn mutexLock = nextSymbol<MutexFn>("pthread_mutex_lock");
  MutexFn mutexTrylock = nextSymbol<MutexFn>("pthread_mutex_trylock");
  MutexTimedFn mutexTimedlock = nextSymbol<MutexTimedFn>("pthread_mutex_timedlock");
  RwFn rdlock = nextSymbol<RwFn>("pthread_rwlock_rdlock");
  RwFn wrlock = nextSymbol<RwFn>("pthread_rwlock_wrlock");
  SpinFn spinLock = nextSymbol<SpinFn>("pthread_spin_lock");
  SemFn semWait = nextSymbol<SemFn>("sem_wait");
};
const RealLocks& realLocks() {
  static const RealLocks r;
  return r;
}
const bool g_locksResolved = (realLocks(), true);

}  // namespace

extern "C" {
void* malloc(std::size_t size) noexcept {
  countAlloc();
  return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) noexcept {
  countAlloc();
  return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) noexcept {
  countAlloc();
  return __libc_realloc(p, size);
}
void free(void* p) noexcept {
  countFree();
  __libc_free(p);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  countAlloc();
  return alignedOrNull(alignment, size);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
  countAlloc();
  return alignedOrNull(alignment, size);
}
void* valloc(std::size_t size) noexcept {
  countAlloc();
  return alignedOrNull(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
  countAlloc();
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) {
    return EINVAL;
  }
  void* p = alignedOrNull(alignment, size);
  if (p == nullptr) {
    return ENOMEM;
  }
  *out = p;
  return 0;
}

int pthread_mutex_lock(pthread_mutex_t* m) noexcept {
  countLock();
  return realLocks().mutexLock(m);
}
int pthread_mutex_trylock(pthread_mutex_t* m) noexcept {
  countLock();
  return realLocks().mutexTrylock(m);
}
int pthread_mutex_timedlock(pthread_mutex_t* m, const struct timespec* t) noexcept {
  countLock();
  return realLocks().mutexTimedlock(m, t);
}
int pthread_rwlock_rdlock(pthread_rwlock_t* l) noexcept {
  countLock();
  return realLocks().rdlock(l);
}
int pthread_rwlock_wrlock(pthread_rwlock_t* l) noexcept {
  countLock();
  return realLocks().wrlock(l);
}
int pthread_spin_lock(pthread_spinlock_t* l) noexcept {
  countLock();
  return realLocks().spinLock(l);
}
int sem_wait(sem_t* s) {
  countLock();
  return realLocks().semWait(s);
}
}  // extern "C"

void* operator new(std::size_t size) {
  countAlloc();
  return newOrAbort(size);
}
void* operator new[](std::size_t size) {
  countAlloc();
  return newOrAbort(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  countAlloc();
  return __libc_malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  countAlloc();
  return __libc_malloc(size == 0 ? 1 : size);
}
void* operator new(std::size_t size, std::align_val_t al) {
  countAlloc();
  return alignedNewOrAbort(size, al);
}
void* operator new[](std::size_t size, std::align_val_t al) {
  countAlloc();
  return alignedNewOrAbort(size, al);
}
void* operator new(std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
  countAlloc();
  return __libc_memalign(static_cast<std::size_t>(al), size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
  countAlloc();
  return __libc_memalign(static_cast<std::size_t>(al), size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept {
  countFree();
  __libc_free(p);
}
void operator delete[](void* p) noexcept {
  countFree();
  __libc_free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  countFree();
  __libc_free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  countFree();
  __libc_free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  countFree();
  __libc_free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  countFree();
  __libc_free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  countFree();
  __libc_free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  countFree();
  __libc_free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  countFree();
  __libc_free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  countFree();
  __libc_free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  countFree();
  __libc_free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  countFree();
  __libc_free(p);
}

namespace {

// ---------------------------------------------------------------------------
// Counted calls into the module.

struct Counted {
  Counted() { t_inCallback = true; }
  ~Counted() { t_inCallback = false; }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;
};

struct Report {
  long allocs = 0;
  long frees = 0;
  long locks = 0;
  long syscalls = 0;
  long firstSyscall = -1;
  long blocks = 0;
  long samples = 0;
  long nonFiniteBlocks = 0;
  long switches = 0;  // blocks where `enabled` changed: each starts or turns a fade
  bool filterInstalled = false;
};

std::atomic<long> g_syscalls{0};
std::atomic<long> g_firstSyscall{-1};

void onSigsys(int /*sig*/, siginfo_t* info, void* /*context*/) {
  long expected = -1;
  g_firstSyscall.compare_exchange_strong(expected, static_cast<long>(info->si_syscall));
  g_syscalls.fetch_add(1, std::memory_order_relaxed);
}

#if defined(__x86_64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#else
constexpr std::uint32_t kAuditArch = 0;  // unknown: the filter kills, the test fails
#endif

sock_filter stmt(std::uint16_t code, std::uint32_t k) {
  return sock_filter{code, 0, 0, k};
}
sock_filter jump(std::uint16_t code, std::uint32_t k, std::uint8_t jt, std::uint8_t jf) {
  return sock_filter{code, jt, jf, k};
}

// From here on every system call but write(reportFd, ...), exit and
// rt_sigreturn (the way back from the SIGSYS handler) is trapped, counted
// and made to fail. Returns false when the filter could not be installed.
bool trapAllSyscallsBut(int reportFd) {
  struct sigaction sa {};
  sa.sa_sigaction = onSigsys;
  sa.sa_flags = SA_SIGINFO;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGSYS, &sa, nullptr) != 0) {
    return false;
  }
  constexpr std::uint16_t kLd = BPF_LD | BPF_W | BPF_ABS;
  constexpr std::uint16_t kJeq = BPF_JMP | BPF_JEQ | BPF_K;
  constexpr std::uint16_t kRet = BPF_RET | BPF_K;
  const sock_filter code[] = {
      stmt(kLd, offsetof(seccomp_data, arch)),
      jump(kJeq, kAuditArch, 1, 0),
      stmt(kRet, SECCOMP_RET_KILL_PROCESS),
      stmt(kLd, offsetof(seccomp_data, nr)),
      jump(kJeq, static_cast<std::uint32_t>(SYS_exit_group), 5, 0),
      jump(kJeq, static_cast<std::uint32_t>(SYS_exit), 4, 0),
      jump(kJeq, static_cast<std::uint32_t>(SYS_rt_sigreturn), 3, 0),
      jump(kJeq, static_cast<std::uint32_t>(SYS_write), 0, 3),
      stmt(kLd, offsetof(seccomp_data, args[0])),  // low word of the fd on little endian
      jump(kJeq, static_cast<std::uint32_t>(reportFd), 0, 1),
      stmt(kRet, SECCOMP_RET_ALLOW),
      stmt(kRet, SECCOMP_RET_TRAP),
  };
  const sock_fprog prog{static_cast<unsigned short>(sizeof code / sizeof code[0]),
                        const_cast<sock_filter*>(code)};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    return false;
  }
  return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// Runs `body` in a child process under the filter and returns what the body
// filled in, with the trapped system calls added.
template <typename Body>
Report runInChild(Body body) {
  Report report;
  int fds[2];
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return report;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Report r;
    r.filterInstalled = trapAllSyscallsBut(fds[1]);
    if (r.filterInstalled) {
      body(r);
    }
    r.allocs = g_allocs.load();
    r.frees = g_frees.load();
    r.locks = g_locks.load();
    r.syscalls = g_syscalls.load();
    r.firstSyscall = g_firstSyscall.load();
    const ssize_t w = write(fds[1], &r, sizeof r);
    _exit(w == static_cast<ssize_t>(sizeof r) ? 0 : 3);
  }
  close(fds[1]);
  EXPECT_GT(pid, 0) << "fork: " << std::strerror(errno);
  std::size_t got = 0;
  auto* dst = reinterpret_cast<char*>(&report);
  while (pid > 0 && got < sizeof report) {
    const ssize_t n = read(fds[0], dst + got, sizeof report - got);
    if (n <= 0) {
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  close(fds[0]);
  int status = 0;
  if (pid > 0) {
    waitpid(pid, &status, 0);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "child died (signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0) << ")";
  EXPECT_EQ(got, sizeof report) << "no report from the child";
  return report;
}

// ---------------------------------------------------------------------------
// The schedule: many instances at many rates, every control (with values
// outside any sensible range and non-finite ones), optional ports connected
// and disconnected, enable toggled, block sizes 0, 1, odd and large, in
// place and not, audio with the odd non-finite sample.

constexpr std::size_t kMaxBlock = 8192;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct Rig {
  struct Inst {
    LV2_Handle h = nullptr;
    float controls[kPortCount] = {};
    bool enabledConnected = true;
    int on = -1;  // `enabled` in the last block, -1 before any
  };
  explicit Rig(const PluginModule& module) : d(module.descriptor(0)) {
    const LV2_Feature* features[] = {nullptr};
    for (const double rate :
         {8000.0, 11025.0, 22050.0, 44100.0, 48000.0, 96000.0, 192000.0, 384000.0, 600.0, 1.0}) {
      Inst& i = insts.emplace_back();
      i.h = d->instantiate(d, rate, "", features);
    }
    in.resize(kMaxBlock);
    out.resize(kMaxBlock);
  }
  ~Rig() {
    for (Inst& i : insts) {
      d->cleanup(i.h);
    }
  }
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  bool ok() const {
    for (const Inst& i : insts) {
      if (i.h == nullptr) {
        return false;
      }
    }
    return d != nullptr;
  }

  void connect(Inst& i, std::uint32_t port, float* where) {
    Counted c;
    d->connect_port(i.h, port, where);
  }
  void run(Inst& i, std::uint32_t n) {
    Counted c;
    d->run(i.h, n);
  }

  // Everything the schedule touches is allocated by now.
  void drive(Report& r, int blocks) {
    Xorshift rng(42);
    for (Inst& inst : insts) {
      for (std::uint32_t p = 2; p < kPortCount; ++p) {
        connect(inst, p, &inst.controls[p]);
      }
      inst.controls[kPortEnabled] = 1.0f;
    }
    const float anything[] = {0.0f,  1.0f,  0.5f,  0.51f,  -1.0f,  2.0f,       6.0f,  -24.0f, 24.0f,
                              3.0f,  -2.0f, 1e30f, -1e30f, 1e-40f, kNaN,       -kNaN, kInf,   -kInf,
                              0.25f, 0.7f,  2.5f,  1e10f,  4.0f,   -0.000001f, 12.0f, -40.0f};
    const std::uint32_t sizes[] = {0, 1, 2, 3, 7, 31, 64, 127, 256, 1000, 4096, kMaxBlock};
    for (int b = 0; b < blocks; ++b) {
      Inst& inst = insts[rng.below(static_cast<std::uint32_t>(insts.size()))];
      for (std::uint32_t p = 2; p < kPortCount; ++p) {
        if (rng.below(3) == 0) {
          inst.controls[p] = anything[rng.below(sizeof anything / sizeof anything[0])];
        }
      }
      // Mostly switched on and sane, so that the stages really run.
      for (const PortIndex p :
           {kPortHumOn, kPortPickupOn, kPortBoostOn, kPortEnabled, kPortHumTrack}) {
        if (rng.below(2) == 0) {
          inst.controls[p] = 1.0f;
        }
      }
      for (const std::uint32_t p :
           {kPortLowpassAmount, kPortHum50Hz, kPortEnabled, kPortHumTrack, kPortHumFreq}) {
        if (rng.below(6) == 0) {
          const bool connected = rng.below(2) != 0;
          connect(inst, p, connected ? &inst.controls[p] : nullptr);
          if (p == kPortEnabled) {
            inst.enabledConnected = connected;
          }
        }
      }
      const int on = inst.enabledConnected && inst.controls[kPortEnabled] <= 0.5f ? 0 : 1;
      r.switches += inst.on >= 0 && on != inst.on ? 1 : 0;
      inst.on = on;
      const std::uint32_t n = sizes[rng.below(sizeof sizes / sizeof sizes[0])];
      for (std::uint32_t k = 0; k < n; ++k) {
        in[k] = rng.uniform();
      }
      if (n > 0 && rng.below(10) == 0) {
        in[rng.below(n)] = rng.below(2) == 0 ? kNaN : -kInf;
      }
      const bool inPlace = rng.below(4) == 0;
      if (inPlace) {
        std::memcpy(out.data(), in.data(), n * sizeof(float));
      }
      connect(inst, kPortIn, inPlace ? out.data() : in.data());
      connect(inst, kPortOut, out.data());
      run(inst, n);
      connect(inst, 99, nullptr);  // an index past the table is ignored
      r.blocks += 1;
      r.samples += n;
      r.nonFiniteBlocks += allFinite(out.data(), n) ? 0 : 1;
    }
  }

  const LV2_Descriptor* d;
  std::vector<Inst> insts;
  std::vector<float> in;
  std::vector<float> out;
};

class RealTime : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(g_locksResolved);
    ASSERT_TRUE(module.loaded());
  }
  PluginModule module;
};

// The counting itself: a deliberate allocation, free and lock inside the
// counted region are seen, and so are the module's own allocation at
// instantiation and its free at cleanup, which proves its calls reach the
// interposed functions.
TEST_F(RealTime, CountingSeesDeliberateCallsAndTheModulesOwn) {
  void* (*volatile mallocFn)(std::size_t) = std::malloc;
  void (*volatile freeFn)(void*) = std::free;
  pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
  const long a0 = g_allocs.load();
  const long f0 = g_frees.load();
  const long l0 = g_locks.load();
  {
    Counted c;
    freeFn(mallocFn(16));
    int* volatile p = new int(1);
    delete p;
    pthread_mutex_lock(&m);
    pthread_mutex_unlock(&m);
  }
  EXPECT_EQ(g_allocs.load() - a0, 2);
  EXPECT_EQ(g_frees.load() - f0, 2);
  EXPECT_EQ(g_locks.load() - l0, 1);

  const LV2_Descriptor* d = module.descriptor(0);
  const LV2_Feature* features[] = {nullptr};
  LV2_Handle h = nullptr;
  const long a1 = g_allocs.load();
  {
    Counted c;
    h = d->instantiate(d, 48000.0, "", features);
  }
  ASSERT_NE(h, nullptr);
  EXPECT_GE(g_allocs.load() - a1, 1) << "the module's allocation did not reach the interposer";
  const long f1 = g_frees.load();
  {
    Counted c;
    d->cleanup(h);
  }
  EXPECT_GE(g_frees.load() - f1, 1) << "the module's free did not reach the interposer";
}

// The filter itself: a system call inside the child is trapped and named.
TEST_F(RealTime, SeccompTrapsAndNamesASystemCall) {
  const Report r = runInChild([](Report&) {
    (void)syscall(SYS_getppid);
    (void)write(2, "x", 1);  // stderr is not the report pipe
  });
  ASSERT_TRUE(r.filterInstalled) << "seccomp filter could not be installed";
  EXPECT_EQ(r.syscalls, 2);
  EXPECT_EQ(r.firstSyscall, static_cast<long>(SYS_getppid));
}

TEST_F(RealTime, CallbacksNeverAllocateLockOrEnterTheKernel) {
  Rig rig(module);
  ASSERT_TRUE(rig.ok());
  const long a0 = g_allocs.load();
  const long f0 = g_frees.load();
  const long l0 = g_locks.load();
  const Report r = runInChild([&rig](Report& rep) { rig.drive(rep, 6000); });
  ASSERT_TRUE(r.filterInstalled) << "seccomp filter could not be installed";
  EXPECT_EQ(r.blocks, 6000);
  EXPECT_EQ(r.allocs - a0, 0) << "allocations in run/connect_port";
  EXPECT_EQ(r.frees - f0, 0) << "frees in run/connect_port";
  EXPECT_EQ(r.locks - l0, 0) << "locks taken in run/connect_port";
  EXPECT_EQ(r.syscalls, 0) << "system calls in run/connect_port; first: " << r.firstSyscall;
  EXPECT_GT(r.switches, 200) << "too few switches of `enabled`: its fades went untested";
  std::printf(
      "drove %ld blocks, %ld samples (%ld blocks with non-finite output, %ld switches of "
      "`enabled`)\n",
      r.blocks, r.samples, r.nonFiniteBlocks, r.switches);
}

}  // namespace
