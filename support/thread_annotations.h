// Clang's thread-safety analysis (-Wthread-safety) checks at compile time that
// a field marked GUARDED_BY(m) is touched only with m held, and that a
// function marked REQUIRES(m) is called only with it held. Other compilers
// see nothing. The macros are the names the analysis's documentation uses.
// The clang preset makes every finding an error.
#ifndef ZORBEL_SUPPORT_THREAD_ANNOTATIONS_H
#define ZORBEL_SUPPORT_THREAD_ANNOTATIONS_H

#if defined(__clang__)
#define ZORBEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZORBEL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ZORBEL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ZORBEL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ZORBEL_THREAD_ANNOTATION(guarded_by(x))
#define REQUIRES(...) ZORBEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) ZORBEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ZORBEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) ZORBEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// A function that takes the capability when it returns `ok` (true or false).
#define TRY_ACQUIRE(...) ZORBEL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// Lock order: this capability is taken before (after) the ones named.
#define ACQUIRED_BEFORE(...) ZORBEL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) ZORBEL_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
// The data a pointer points to (not the pointer) is guarded.
#define PT_GUARDED_BY(x) ZORBEL_THREAD_ANNOTATION(pt_guarded_by(x))
// Tells the analysis that the capability is held from here to the end of the
// scope, for code entered with a lock the analysis cannot see (a standard
// lock, or a caller declared in a public header, which carries no
// annotations).
#define ASSERT_CAPABILITY(x) ZORBEL_THREAD_ANNOTATION(assert_capability(x))
// For the rare function the analysis cannot follow; say why where it is used.
#define NO_THREAD_SAFETY_ANALYSIS ZORBEL_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif
