// ThreadAnnotations.h: lock rules that Clang checks at compile time
// (-Wthread-safety).  Other compilers see empty macros.
//
// A member marked GUARDED_BY(mu) may be read or written only while mu is
// held; a function marked REQUIRES(mu) may be called only by a caller that
// holds mu; ACQUIRE/RELEASE mark the functions that take and give back a
// lock, and SCOPED_CAPABILITY a class whose lifetime is one hold.
// ASSERT_CAPABILITY tells the analysis, where it cannot follow (a callback
// run by a helper under the caller's lock), that the lock is held.
#ifndef BRIX_THREADANNOTATIONS_H_
#define BRIX_THREADANNOTATIONS_H_

#if defined(__clang__)
#define BRIX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define BRIX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) BRIX_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY BRIX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) BRIX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) BRIX_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) \
  BRIX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) BRIX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) BRIX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) BRIX_THREAD_ANNOTATION(assert_capability(x))
#define EXCLUDES(...) BRIX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS \
  BRIX_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // BRIX_THREADANNOTATIONS_H_
