// Lock annotations for clang's thread-safety analysis (-Wthread-safety): which lock guards a
// field, which locks a function needs held or must not hold, and which functions take or give
// back a lock. Clang checks them at compile time; other compilers see nothing.
//
// A field read and written only under `lock_` is declared `T field_ GUARDED_BY(lock_);` (the
// pointee rather than the pointer: PT_GUARDED_BY), a function that must be called with it held
// `void f() REQUIRES(lock_);`, and one that takes it itself `void g() EXCLUDES(lock_);`.
#pragma once

#if defined(__clang__)
#define SKERROW_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define SKERROW_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(name) SKERROW_THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY SKERROW_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) SKERROW_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) SKERROW_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) SKERROW_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) SKERROW_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) SKERROW_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) SKERROW_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) SKERROW_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS SKERROW_THREAD_ANNOTATION(no_thread_safety_analysis)
