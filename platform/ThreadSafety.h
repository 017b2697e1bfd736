// Thread-safety annotations for clang's -Wthread-safety analysis; empty elsewhere.
// Every layer may include this header: it depends on nothing.
//
// Lock order: a lock declared ACQUIRED_BEFORE(other) is taken before other
// whenever both are held; clang checks that order (-Wthread-safety-beta) for
// every acquisition it can see, across classes, by the lock's declaration.
#pragma once

#if defined(__clang__)
#define TS_ATTR(x) __attribute__((x))
#else
#define TS_ATTR(x)
#endif

#define CAPABILITY(x) TS_ATTR(capability(x))
#define SCOPED_CAPABILITY TS_ATTR(scoped_lockable)
#define GUARDED_BY(x) TS_ATTR(guarded_by(x))
#define PT_GUARDED_BY(x) TS_ATTR(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) TS_ATTR(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) TS_ATTR(acquired_after(__VA_ARGS__))
#define ACQUIRE(...) TS_ATTR(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TS_ATTR(release_capability(__VA_ARGS__))
#define REQUIRES(...) TS_ATTR(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) TS_ATTR(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) TS_ATTR(assert_capability(x))
#define RETURN_CAPABILITY(x) TS_ATTR(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS TS_ATTR(no_thread_safety_analysis)
