/* Preloaded into a test's processes (LD_PRELOAD): moves their wall clock
 * QMX_TEST_CLOCK_SHIFT seconds ahead, as faketime would. libfaketime
 * wraps only the 32-bit time calls, which an i386 build with 64-bit times
 * no longer makes. Built with _TIME_BITS=64 like the product, the names
 * below are the calls such a build makes: __clock_gettime64 and __time64
 * on i386, clock_gettime and time on 64-bit builds. */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

#ifdef __USE_TIME_BITS64
#define REAL_CLOCK_GETTIME "__clock_gettime64"
#else
#define REAL_CLOCK_GETTIME "clock_gettime"
#endif

static long long Shift(void) {
  const char* shift = getenv("QMX_TEST_CLOCK_SHIFT");
  return shift ? atoll(shift) : 0;
}

int clock_gettime(clockid_t clock, struct timespec* now) {
  static int (*real)(clockid_t, struct timespec*);
  if (!real) real = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, REAL_CLOCK_GETTIME);
  int result = real(clock, now);
  if (result == 0 && (clock == CLOCK_REALTIME || clock == CLOCK_REALTIME_COARSE)) {
    now->tv_sec += Shift();
  }
  return result;
}

time_t time(time_t* out) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  if (out) *out = now.tv_sec;
  return now.tv_sec;
}
