#pragma once

// Clang's thread-safety analysis: which lock guards what, checked at compile time
// (-Wthread-safety). Other compilers see nothing. A name an includer already defines (the
// same clang attributes, in the same spelling) is left as it is.

#if defined(__clang__)
#define LARK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define LARK_THREAD_ANNOTATION(x)
#endif

#ifndef CAPABILITY
#define CAPABILITY(x) LARK_THREAD_ANNOTATION(capability(x))
#endif
#ifndef SCOPED_CAPABILITY
#define SCOPED_CAPABILITY LARK_THREAD_ANNOTATION(scoped_lockable)
#endif
#ifndef GUARDED_BY
#define GUARDED_BY(x) LARK_THREAD_ANNOTATION(guarded_by(x))
#endif
#ifndef PT_GUARDED_BY
#define PT_GUARDED_BY(x) LARK_THREAD_ANNOTATION(pt_guarded_by(x))
#endif
#ifndef ACQUIRED_BEFORE
#define ACQUIRED_BEFORE(...) LARK_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#endif
#ifndef REQUIRES
#define REQUIRES(...) LARK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#endif
#ifndef ACQUIRE
#define ACQUIRE(...) LARK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#endif
#ifndef RELEASE
#define RELEASE(...) LARK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#endif
#ifndef TRY_ACQUIRE
#define TRY_ACQUIRE(...) LARK_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#endif
#ifndef EXCLUDES
#define EXCLUDES(...) LARK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#endif
#ifndef RETURN_CAPABILITY
#define RETURN_CAPABILITY(x) LARK_THREAD_ANNOTATION(lock_returned(x))
#endif
#ifndef NO_THREAD_SAFETY_ANALYSIS
#define NO_THREAD_SAFETY_ANALYSIS LARK_THREAD_ANNOTATION(no_thread_safety_analysis)
#endif
