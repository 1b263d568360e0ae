// Lock annotations that clang's -Wthread-safety checks: which lock guards a
// member, which locks a function needs, takes or must not hold. Other
// compilers see nothing. The clang preset "thread-safety" builds the whole
// tree with these checks as errors.

#ifndef QUORVEX_SYNC_THREAD_ANNOTATIONS_H_
#define QUORVEX_SYNC_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define QUORVEX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QUORVEX_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(name) QUORVEX_THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY QUORVEX_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QUORVEX_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QUORVEX_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_AFTER(...) QUORVEX_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) QUORVEX_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) QUORVEX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) QUORVEX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QUORVEX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QUORVEX_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) QUORVEX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) QUORVEX_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) QUORVEX_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS QUORVEX_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // QUORVEX_SYNC_THREAD_ANNOTATIONS_H_
