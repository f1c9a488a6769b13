// Thread-safety annotations for clang's -Wthread-safety. They document which lock guards
// which member; under gcc (both of our usual builds) they expand to nothing.
#pragma once

#if defined(__clang__)
#define KV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KV_THREAD_ANNOTATION(x)
#endif

#define KV_CAPABILITY(x) KV_THREAD_ANNOTATION(capability(x))
#define KV_SCOPED_CAPABILITY KV_THREAD_ANNOTATION(scoped_lockable)
#define KV_GUARDED_BY(x) KV_THREAD_ANNOTATION(guarded_by(x))
#define KV_PT_GUARDED_BY(x) KV_THREAD_ANNOTATION(pt_guarded_by(x))
#define KV_ACQUIRE(...) KV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KV_RELEASE(...) KV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KV_TRY_ACQUIRE(...) KV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define KV_REQUIRES(...) KV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KV_EXCLUDES(...) KV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define KV_ACQUIRED_AFTER(...) KV_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define KV_RETURN_CAPABILITY(x) KV_THREAD_ANNOTATION(lock_returned(x))
#define KV_NO_THREAD_SAFETY_ANALYSIS KV_THREAD_ANNOTATION(no_thread_safety_analysis)
