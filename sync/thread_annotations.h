#pragma once

// Clang's thread-safety analysis: which lock guards what, checked at compile time
// (-Wthread-safety). Other compilers see nothing. The names carry our prefix so that another
// library's macros of the same meaning can neither replace nor clash with them.

#if defined(__clang__)
#define LARK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define LARK_THREAD_ANNOTATION(x)
#endif

#define LARK_CAPABILITY(x) LARK_THREAD_ANNOTATION(capability(x))
#define LARK_SCOPED_CAPABILITY LARK_THREAD_ANNOTATION(scoped_lockable)
#define LARK_GUARDED_BY(x) LARK_THREAD_ANNOTATION(guarded_by(x))
#define LARK_PT_GUARDED_BY(x) LARK_THREAD_ANNOTATION(pt_guarded_by(x))
#define LARK_ACQUIRED_BEFORE(...) LARK_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define LARK_REQUIRES(...) LARK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define LARK_ACQUIRE(...) LARK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define LARK_RELEASE(...) LARK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define LARK_TRY_ACQUIRE(...) LARK_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define LARK_EXCLUDES(...) LARK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define LARK_RETURN_CAPABILITY(x) LARK_THREAD_ANNOTATION(lock_returned(x))
#define LARK_NO_THREAD_SAFETY_ANALYSIS LARK_THREAD_ANNOTATION(no_thread_safety_analysis)
